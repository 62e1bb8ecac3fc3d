"""The module's face: its attributes, and how every function binds and
converts its arguments before doing any work."""

import inspect
import pathlib
import sys

import numpy as np
import pytest

import _quarnel as q
import reference
from reference import ListLike

SIGNATURES = {
    "save_fingerprints": "(fps, path)",
    "load_fingerprints": "(path)",
    "bulk_tanimoto_parallel": "(py_fps, py_fps2, n_threads=..., agg=None)",
    "bulk_tanimoto_parallel_topk": "(py_fps, py_fps2, k=10, n_threads=...)",
    "bulk_tanimoto_mmap": "(path1, path2, n_threads=..., agg=None, db_offset=0, db_limit=0)",
    "bulk_tanimoto_mmap_topk": "(path1, path2, k=10, n_threads=..., db_offset=0, db_limit=0)",
    "internal_tanimoto_parallel": "(py_fps, n_threads=..., agg=None)",
    "internal_tanimoto_mmap": "(path, n_threads=..., agg=None)",
    "bulk_tanimoto_parallel_threshold": "(py_fps, py_fps2, threshold, n_threads=...)",
    "bulk_tanimoto_mmap_threshold": "(path1, path2, threshold, n_threads=..., db_offset=0, db_limit=0)",
    "internal_tanimoto_parallel_threshold": "(py_fps, threshold, n_threads=...)",
    "internal_tanimoto_mmap_threshold": "(path, threshold, n_threads=...)",
}
NAMES = list(SIGNATURES)
PARAMETERS = {
    "save_fingerprints": ["fps", "path"],
    "load_fingerprints": ["path"],
    "bulk_tanimoto_parallel": ["py_fps", "py_fps2", "n_threads", "agg"],
    "bulk_tanimoto_parallel_topk": ["py_fps", "py_fps2", "k", "n_threads"],
    "bulk_tanimoto_mmap": ["path1", "path2", "n_threads", "agg", "db_offset", "db_limit"],
    "bulk_tanimoto_mmap_topk": ["path1", "path2", "k", "n_threads", "db_offset", "db_limit"],
    "internal_tanimoto_parallel": ["py_fps", "n_threads", "agg"],
    "internal_tanimoto_mmap": ["path", "n_threads", "agg"],
    "bulk_tanimoto_parallel_threshold": ["py_fps", "py_fps2", "threshold", "n_threads"],
    "bulk_tanimoto_mmap_threshold": ["path1", "path2", "threshold", "n_threads", "db_offset", "db_limit"],
    "internal_tanimoto_parallel_threshold": ["py_fps", "threshold", "n_threads"],
    "internal_tanimoto_mmap_threshold": ["path", "threshold", "n_threads"],
}
# The parameters without a default.
REQUIRED = {name: sum("=" not in p for p in SIGNATURES[name].strip("()").split(", ")) for name in NAMES}

AGG_ERROR = "Invalid aggregation type. Choose 'full', 'mean', 'max', or 'min'."
MISSING = "/nonexistent/quarnel-test.fps"


def call(name, *args, **kwargs):
    return getattr(q, name)(*args, **kwargs)


def required_args(name):
    """Valid-looking values for the required parameters (empty sets, paths, a threshold)."""
    return [[] if p in ("py_fps", "py_fps2", "fps") else 0.5 if p == "threshold" else MISSING
            for p in PARAMETERS[name][: REQUIRED[name]]]


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


# ---------------------------------------------------------------------------
# Attributes


def test_module_attributes():
    assert q.__doc__ == ""
    assert q.__all__ == NAMES
    assert not hasattr(q, "PySliceContainer")
    for name in NAMES:
        fn = getattr(q, name)
        assert type(fn).__name__ == "builtin_function_or_method"
        assert fn.__name__ == name
        assert fn.__module__ == "_quarnel"
        assert fn.__self__ is q
        assert fn.__doc__ is None
        assert fn.__text_signature__ == SIGNATURES[name]


def test_signatures_as_introspection_reads_them():
    sig = inspect.signature(q.bulk_tanimoto_mmap_topk)
    assert [p.kind for p in sig.parameters.values()] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 6
    assert [p.default for p in sig.parameters.values()][2:] == [10, Ellipsis, 0, 0]


# ---------------------------------------------------------------------------
# Binding


@pytest.mark.parametrize("name", NAMES)
def test_too_many_positional(name):
    total, required = len(PARAMETERS[name]), REQUIRED[name]
    given = total + 1
    takes = f"from {required} to {total}" if required < total else f"{total}"
    raises_exactly(TypeError,
                   f"{name}() takes {takes} positional arguments but {given} were given",
                   call, name, *([object()] * given))


@pytest.mark.parametrize("name", NAMES)
def test_missing_required(name):
    required = [f"'{p}'" for p in PARAMETERS[name][: REQUIRED[name]]]
    listed = " and ".join(required) if len(required) < 3 else ", ".join(required[:-1]) + ", and " + required[-1]
    noun = "argument" if len(required) == 1 else "arguments"
    raises_exactly(TypeError, f"{name}() missing {len(required)} required positional {noun}: {listed}",
                   call, name)


@pytest.mark.parametrize("name", NAMES)
def test_keyword_errors(name):
    args = [object()] * REQUIRED[name]
    first = PARAMETERS[name][0]
    raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'bogus'",
                   call, name, *args, bogus=1)
    raises_exactly(TypeError, f"{name}() got an unexpected keyword argument '{first.upper()}'",
                   call, name, *args, **{first.upper(): 1})
    raises_exactly(TypeError, f"{name}() got multiple values for argument '{first}'",
                   call, name, *args, **{first: 1})
    # The first offending keyword, in call order, decides.
    raises_exactly(TypeError, f"{name}() got multiple values for argument '{first}'",
                   call, name, *args, **{first: 1, "bogus": 2})
    raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'bogus'",
                   call, name, *args, **{"bogus": 2, first: 1})


def test_binding_details():
    raises_exactly(TypeError, "bulk_tanimoto_parallel() missing 1 required positional argument: 'py_fps2'",
                   q.bulk_tanimoto_parallel, [])
    raises_exactly(TypeError, "bulk_tanimoto_mmap() missing 1 required positional argument: 'path1'",
                   q.bulk_tanimoto_mmap, path2="b")
    raises_exactly(TypeError, "bulk_tanimoto_parallel() takes from 2 to 4 positional arguments but 5 were given",
                   q.bulk_tanimoto_parallel, [], [], 4, "mean", 5)
    raises_exactly(TypeError, "load_fingerprints() takes 1 positional arguments but 2 were given",
                   q.load_fingerprints, "x", "y")
    raises_exactly(TypeError, "internal_tanimoto_parallel() got an unexpected keyword argument 'ñ'",
                   q.internal_tanimoto_parallel, [], **{"ñ": 1})
    # Binding is complete before anything is converted or found missing.
    raises_exactly(TypeError, "bulk_tanimoto_parallel() got an unexpected keyword argument 'nthreads'",
                   q.bulk_tanimoto_parallel, 5, nthreads=2)
    raises_exactly(TypeError, "bulk_tanimoto_parallel() got an unexpected keyword argument 'x'",
                   q.bulk_tanimoto_parallel, x=1)


def test_all_keyword_call(small_set):
    got = q.bulk_tanimoto_parallel(agg="max", n_threads=2, py_fps2=small_set, py_fps=small_set)
    assert np.array_equal(got, reference.cross(small_set, small_set, "max"))
    indices, _ = q.bulk_tanimoto_parallel_topk(k=2, py_fps2=small_set, py_fps=small_set[:1])
    assert indices.shape == (1, 2)


# ---------------------------------------------------------------------------
# Sequence parameters


class Holder:
    class Inner:
        pass


class BrokenClass:
    @property
    def __class__(self):
        raise RuntimeError("no class for you")


SEQUENCE_FUNCTIONS = [
    ("bulk_tanimoto_parallel", 0, "py_fps"),
    ("bulk_tanimoto_parallel", 1, "py_fps2"),
    ("bulk_tanimoto_parallel_topk", 0, "py_fps"),
    ("bulk_tanimoto_parallel_topk", 1, "py_fps2"),
    ("internal_tanimoto_parallel", 0, "py_fps"),
    ("bulk_tanimoto_parallel_threshold", 0, "py_fps"),
    ("bulk_tanimoto_parallel_threshold", 1, "py_fps2"),
    ("internal_tanimoto_parallel_threshold", 0, "py_fps"),
    ("save_fingerprints", 0, "fps"),
]


@pytest.mark.parametrize("name, position, parameter", SEQUENCE_FUNCTIONS)
@pytest.mark.parametrize("value, shown", [
    (5, "'int' object"),
    (None, "'None'"),
    ({}, "'dict' object"),
    (set(), "'set' object"),
    ((x for x in []), "'generator' object"),
    (Holder.Inner(), "'Holder.Inner' object"),
])
def test_non_sequences_refused(name, position, parameter, value, shown):
    args = required_args(name)
    args[position] = value
    raises_exactly(TypeError, f"argument '{parameter}': {shown} is not an instance of 'Sequence'",
                   call, name, *args)


@pytest.mark.parametrize("value", [
    (), [], type("L", (list,), {})(), type("T", (tuple,), {})(), ListLike([]), range(0),
])
def test_sequences_accepted(value):
    assert q.bulk_tanimoto_parallel(value, value).shape == (0, 0)
    assert q.internal_tanimoto_parallel(value).shape == (0,)


def test_failing_instance_check_is_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    obj = BrokenClass()
    raises_exactly(TypeError, "argument 'py_fps': 'BrokenClass' object is not an instance of 'Sequence'",
                   q.internal_tanimoto_parallel, obj)
    assert len(seen) == 1
    assert type(seen[0].exc_value) is RuntimeError
    assert seen[0].object is obj


def test_sequences_checked_in_order():
    raises_exactly(TypeError, "argument 'py_fps': 'int' object is not an instance of 'Sequence'",
                   q.bulk_tanimoto_parallel, 5, 6, n_threads=None, agg=1)
    raises_exactly(TypeError, "argument 'py_fps2': 'int' object is not an instance of 'Sequence'",
                   q.bulk_tanimoto_parallel_topk, [], 6, k=None)


# ---------------------------------------------------------------------------
# Integer parameters


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaising:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


def caused_type_error():
    try:
        raise KeyError("root")
    except KeyError as root:
        error = TypeError("bad index")
        error.__cause__ = root
        return error


N_THREADS_FUNCTIONS = [n for n in NAMES if "n_threads" in PARAMETERS[n]]
UNSIGNED = [(n, p) for n in NAMES for p in ("k", "db_offset", "db_limit") if p in PARAMETERS[n]]


@pytest.mark.parametrize("name", N_THREADS_FUNCTIONS)
def test_n_threads_conversion(name):
    args = required_args(name)
    prefix = "argument 'n_threads': "
    for value, type_name in [(None, "NoneType"), (1.0, "float"), ("2", "str")]:
        raises_exactly(TypeError, f"{prefix}'{type_name}' object cannot be interpreted as an integer",
                       call, name, *args, n_threads=value)
    for value in (2**31, -(2**31) - 1, 2**40):
        raises_exactly(OverflowError, "out of range integral type conversion attempted",
                       call, name, *args, n_threads=value)
    with pytest.raises(OverflowError) as info:  # beyond 64 bits: the interpreter's own
        call(name, *args, n_threads=2**64)
    assert not str(info.value).startswith("argument")

    error = caused_type_error()
    got = raises_exactly(TypeError, prefix + "bad index", call, name, *args, n_threads=IndexRaising(error))
    assert got.__cause__ is error.__cause__
    # Only exactly TypeError gets the prefix.
    raises_exactly(MyTypeError, "sub", call, name, *args, n_threads=IndexRaising(MyTypeError("sub")))
    raises_exactly(ValueError, "val", call, name, *args, n_threads=IndexRaising(ValueError("val")))


@pytest.mark.parametrize("value", [2**31 - 1, -(2**31), 0, -7, True, Index(3), np.int64(2)])
def test_n_threads_accepted(value):
    assert q.bulk_tanimoto_parallel([], [], n_threads=value).shape == (0, 0)
    assert q.internal_tanimoto_parallel([], value).shape == (0,)


@pytest.mark.parametrize("name, parameter", UNSIGNED)
def test_unsigned_conversion(name, parameter):
    args = required_args(name)
    prefix = f"argument '{parameter}': "
    for value, type_name in [(None, "NoneType"), (1.5, "float"), ("3", "str")]:
        raises_exactly(TypeError, f"{prefix}'{type_name}' object cannot be interpreted as an integer",
                       call, name, *args, **{parameter: value})
    raises_exactly(TypeError, prefix + "__index__ returned non-int (type str)",
                   call, name, *args, **{parameter: Index("x")})
    error = caused_type_error()
    got = raises_exactly(TypeError, prefix + "bad index", call, name, *args, **{parameter: IndexRaising(error)})
    assert got.__cause__ is error.__cause__
    for value in (-1, Index(-1), 2**64):
        with pytest.raises(OverflowError) as info:
            call(name, *args, **{parameter: value})
        assert type(info.value) is OverflowError
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("k", [0, 1, 2**64 - 1, Index(2), np.uint64(2**64 - 1), True])
def test_k_accepted(k, small_set):
    indices, scores = q.bulk_tanimoto_parallel_topk(small_set[:2], small_set[:3], k=k)
    assert indices.shape == scores.shape == (2, min(int(k), 3))


# ---------------------------------------------------------------------------
# agg


AGG_FUNCTIONS = [n for n in NAMES if "agg" in PARAMETERS[n]]


@pytest.mark.parametrize("name", AGG_FUNCTIONS)
def test_agg_conversion(name):
    args = required_args(name)
    for value, type_name in [(1, "int"), (b"mean", "bytes"), (["mean"], "list")]:
        raises_exactly(TypeError, f"argument 'agg': '{type_name}' object is not an instance of 'str'",
                       call, name, *args, agg=value)
    for text in ("", "means", " mean", "mean ", "mean\x00", "average", "topk", "MEAN\n"):
        raises_exactly(ValueError, AGG_ERROR, call, name, *args, agg=text)
    with pytest.raises(UnicodeEncodeError):
        call(name, *args, agg="\ud800")


def test_agg_parsed_before_fingerprints_are_read(capfd):
    raises_exactly(ValueError, AGG_ERROR, q.bulk_tanimoto_parallel, [1, 2], [3], agg="bogus")
    raises_exactly(ValueError, AGG_ERROR, q.internal_tanimoto_parallel, "abc", agg="bogus")
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("text", ["mean", "MEAN", "Max", "mIN", "full", "FULL", type("S", (str,), {})("Mean")])
def test_agg_names_any_case(text, small_set):
    lower = str(text).lower()
    assert np.array_equal(q.bulk_tanimoto_parallel(small_set, small_set[:4], agg=text),
                          reference.cross(small_set, small_set[:4], lower))
    assert np.array_equal(q.internal_tanimoto_parallel(small_set, agg=text),
                          reference.internal(small_set, lower))


def test_conversion_order():
    # in-memory: sequences, then n_threads / k, then agg, then its text
    with pytest.raises(TypeError, match="^argument 'n_threads'"):
        q.bulk_tanimoto_parallel([], [], None, 1)
    with pytest.raises(TypeError, match="^argument 'agg'"):
        q.internal_tanimoto_parallel([], 1, 1)
    with pytest.raises(TypeError, match="^argument 'k'"):
        q.bulk_tanimoto_parallel_topk([], [], None, None)
    # file-backed: numbers and agg before any path
    with pytest.raises(TypeError, match="^argument 'n_threads'"):
        q.bulk_tanimoto_mmap(b"a", b"b", None, 1, None, None)
    with pytest.raises(TypeError, match="^argument 'agg'"):
        q.bulk_tanimoto_mmap(b"a", b"b", 1, 1, None, None)
    with pytest.raises(TypeError, match="^argument 'db_offset'"):
        q.bulk_tanimoto_mmap(b"a", b"b", 1, "bogus", None, None)
    with pytest.raises(TypeError, match="^argument 'db_limit'"):
        q.bulk_tanimoto_mmap(b"a", b"b", 1, "bogus", 0, None)
    raises_exactly(ValueError, AGG_ERROR, q.bulk_tanimoto_mmap, b"a", b"b", agg="bogus")
    raises_exactly(ValueError, AGG_ERROR, q.internal_tanimoto_mmap, b"a", agg="bogus")
    with pytest.raises(TypeError, match="^argument 'k'"):
        q.bulk_tanimoto_mmap_topk(b"a", b"b", None, None, None, None)
    with pytest.raises(TypeError, match="^argument 'n_threads'"):
        q.bulk_tanimoto_mmap_topk(b"a", b"b", 1, None, None, None)
    with pytest.raises(TypeError, match="^argument 'db_offset'"):
        q.bulk_tanimoto_mmap_topk(b"a", b"b", 1, 1, None, None)
    with pytest.raises(TypeError, match="^argument 'fps'"):
        q.save_fingerprints(5, b"x")


# ---------------------------------------------------------------------------
# Paths


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


# Each takes the path under test and, where there is one, a second path.
PATH_CALLS = {
    "save_fingerprints": lambda p, _: q.save_fingerprints([], p),
    "load_fingerprints": lambda p, _: q.load_fingerprints(p),
    "bulk_tanimoto_mmap": lambda p, p2: q.bulk_tanimoto_mmap(p, p2),
    "bulk_tanimoto_mmap_topk": lambda p, p2: q.bulk_tanimoto_mmap_topk(p, p2),
    "internal_tanimoto_mmap": lambda p, _: q.internal_tanimoto_mmap(p),
}


@pytest.mark.parametrize("name", PATH_CALLS)
def test_path_conversion(name):
    fn = PATH_CALLS[name]
    # A bytes second path is not looked at before the first one fails.
    raises_exactly(TypeError, "'bytes' object is not an instance of 'str'", fn, b"/tmp/x", b"y")
    raises_exactly(TypeError, "'bytes' object is not an instance of 'str'", fn, FsPath(b"/tmp/x"), b"y")
    for value in (5, None, FsPath(TypeError("from fspath"))):
        with pytest.raises(TypeError) as info:  # the interpreter's error, unprefixed
            fn(value, b"y")
        assert not str(info.value).startswith("argument")
    raises_exactly(KeyError, "'k'", fn, FsPath(KeyError("k")), b"y")


@pytest.mark.parametrize("name", PATH_CALLS)
@pytest.mark.parametrize("path", [MISSING, pathlib.Path(MISSING), FsPath(MISSING)])
def test_path_like_accepted(name, path, capfd):
    # Conversion succeeds; what follows is the file work's report of the missing directory.
    missing = "No such file or directory (os error 2)"
    if name == "save_fingerprints":
        assert PATH_CALLS[name](path, path) is None
        assert capfd.readouterr().err == f"ValueError: cannot open '{MISSING}' for writing: {missing}\n"
    else:
        raises_exactly(FileNotFoundError, missing, PATH_CALLS[name], path, path)
