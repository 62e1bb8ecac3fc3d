"""The package's modules import one another in one direction only, and
only at the top of a module."""

import ast
import pathlib

PACKAGE = pathlib.Path(__file__).resolve().parents[1] / "quarnel"


def package_imports(path):
    """(imported module, at top level) for every import of a sibling module."""
    tree = ast.parse(path.read_text())
    top = set(map(id, tree.body))
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            names = [node.module] if node.module else [alias.name for alias in node.names]
            found += [(name.split(".")[0], id(node) in top) for name in names]
    return found


def test_imports_flow_one_way_and_only_at_module_level():
    graph = {}
    for path in sorted(PACKAGE.glob("*.py")):
        imports = package_imports(path)
        inside = [name for name, at_top in imports if not at_top]
        assert not inside, f"{path.name} imports {inside} inside a function"
        graph[path.stem] = {name for name, _ in imports}

    state = {}

    def visit(module, trail):
        if state.get(module) == "done":
            return
        assert state.get(module) != "open", "import cycle: " + " -> ".join(trail + [module])
        state[module] = "open"
        for imported in sorted(graph.get(module, ())):
            visit(imported, trail + [module])
        state[module] = "done"

    for module in graph:
        visit(module, [])
