"""The ``#type`` line of an FPS file: which fingerprint settings it stands
for, so that molecules given with the file are fingerprinted the same way.

Two families are read.  The line quarnel writes names RDKit's generator and
its settings, ``RDKit-Morgan radius=2 fpSize=2048``, and is taken only as
written.  chemfp's RDKit types carry a version and RDKit's parameter
names, ``RDKit-Morgan/1 radius=2 fpSize=2048 useFeatures=0 useChirality=0
useBondTypes=1``; a parameter left out has chemfp's default.  One maps only
where RDKit's generator gives exactly the fingerprints chemfp's RDKit call
made (``GetMorganFingerprintAsBitVect``, ``RDKFingerprint``, the hashed
atom pair and torsion bit vectors), which was checked call by call; any
other is read as fingerprints alone, and the reason, naming the type, is
what a molecule given with it is told.
"""

from __future__ import annotations

import dataclasses
from typing import Optional

from .errors import QuarnelError
from .settings import RARE_OPTIONS, TYPE_OPTIONS, FingerprintSpec

# What the line quarnel writes says for each fingerprint type: RDKit's name
# for the generator, then its settings under RDKit's parameter names.
TYPE_NAMES = {"morgan": "RDKit-Morgan", "rdkit": "RDKit-Fingerprint", "atompair": "RDKit-AtomPair",
              "torsion": "RDKit-Torsion", "maccs": "RDKit-MACCS"}
PARAMETERS = {"radius": "radius", "features": "useFeatures", "min_path": "minPath", "max_path": "maxPath",
              "chirality": "useChirality", "bond_types": "useBondTypes", "bits_per_hash": "nBitsPerHash",
              "use_hs": "useHs", "min_length": "minLength", "max_length": "maxLength"}
_BOOLEANS = {"features", "chirality", "bond_types", "use_hs"}


@dataclasses.dataclass(frozen=True)
class ChemfpType:
    """One of chemfp's RDKit types: our fingerprint type, each parameter
    that maps onto a setting with chemfp's default for it, and parameters
    that reproduce exactly only at one value."""

    kind: str
    parameters: dict
    fixed: dict = dataclasses.field(default_factory=dict)


CHEMFP_TYPES = {
    "RDKit-Morgan/1": ChemfpType("morgan", {"radius": ("radius", 2), "fpSize": ("n_bits", 2048),
                                            "useFeatures": ("features", 0), "useChirality": ("chirality", 0),
                                            "useBondTypes": ("bond_types", 1)}),
    "RDKit-Fingerprint/2": ChemfpType("rdkit", {"minPath": ("min_path", 1), "maxPath": ("max_path", 7),
                                                "fpSize": ("n_bits", 2048), "nBitsPerHash": ("bits_per_hash", 2),
                                                "useHs": ("use_hs", 1)}),
    "RDKit-AtomPair/2": ChemfpType("atompair", {"fpSize": ("n_bits", 2048), "minLength": ("min_length", 1),
                                                "maxLength": ("max_length", 30)}),
    # RDKit's torsion generator matches the old call for 4-atom torsions only.
    "RDKit-Torsion/2": ChemfpType("torsion", {"fpSize": ("n_bits", 2048)}, {"targetSize": "4"}),
}
# chemfp's 166 MACCS keys are RDKit's 167-bit MACCS fingerprint less its
# unused bit 0: key n is bit n - 1 there and bit n in RDKit's vector.
MACCS_166 = ("chemfp's 166 MACCS keys are RDKit's 167 MACCS bits less the unused bit 0, each one bit lower "
             "than in RDKit's (and quarnel's) MACCS fingerprints")


@dataclasses.dataclass(frozen=True)
class TypeReading:
    """What a ``#type`` line says: the settings, or why there are none
    (a phrase naming the line, to follow the file's name)."""

    settings: Optional[FingerprintSpec]
    problem: Optional[str]


def type_line(settings: FingerprintSpec) -> str:
    """``RDKit-Morgan radius=2 fpSize=2048``: the generator and the settings
    that matter for its type (``useFeatures=1`` only for feature Morgan, the
    rarer settings only where they are not RDKit's defaults)."""
    parts = [TYPE_NAMES[settings.type]]
    for key, value in settings.as_metadata().items():
        if key in PARAMETERS and not (key == "features" and value is False):
            parts.append(f"{PARAMETERS[key]}={int(value)}")
    parts.append(f"fpSize={settings.n_bits}")
    return " ".join(parts)


def read_type(text: Optional[str], n_bits: int) -> TypeReading:
    """The settings that the ``#type`` line `text` stands for in a file of
    `n_bits`-bit fingerprints, or the reason there are none."""
    text = " ".join(text.split()) if text else ""
    if not text:
        return TypeReading(None, "it has no #type line")
    family = text.split(" ", 1)[0]
    if family in CHEMFP_TYPES:
        return _chemfp_type(text, n_bits)
    if family.startswith("RDKit-MACCS166/"):
        return _cannot(text, MACCS_166)
    versions = [name for name in CHEMFP_TYPES if name.split("/")[0] == family.split("/")[0]]
    if versions and "/" in family:
        return _cannot(text, f"quarnel reproduces {versions[0]}, not {family}")
    settings = _own_type(text, n_bits)
    if settings is not None:
        return TypeReading(settings, None)
    return TypeReading(None, f"its #type line does not say how quarnel would make its fingerprints: {text!r} "
                             "is not an RDKit fingerprint type quarnel knows")


def _cannot(text: str, reason: str) -> TypeReading:
    return TypeReading(None, f"its #type line {text!r} names fingerprints quarnel cannot make exactly: {reason}")


def _own_type(text: str, n_bits: int) -> Optional[FingerprintSpec]:
    """The settings of a line `type_line` wrote, or None for any other text:
    another tool's type may look alike and mean something else, so only an
    exact match counts."""
    kinds = {name: kind for kind, name in TYPE_NAMES.items()}
    keys = {name: key for key, name in PARAMETERS.items()}
    tokens = text.split(" ")
    if tokens[0] not in kinds:
        return None
    kind, given = kinds[tokens[0]], {}
    try:
        for token in tokens[1:]:
            key, _, value = token.partition("=")
            name = "n_bits" if key == "fpSize" else keys[key]
            if name != "n_bits" and name not in TYPE_OPTIONS[kind] + RARE_OPTIONS[kind]:
                return None
            given[name] = bool(int(value)) if name in _BOOLEANS else int(value)
        settings = FingerprintSpec(type=kind, **given)
    except (KeyError, ValueError, QuarnelError):
        return None
    return settings if settings.n_bits == n_bits and type_line(settings) == text else None


def _chemfp_type(text: str, n_bits: int) -> TypeReading:
    family, *tokens = text.split(" ")
    known = CHEMFP_TYPES[family]
    values = {}
    for token in tokens:
        key, equals, value = token.partition("=")
        if not equals or key in values:
            return _cannot(text, f"{token!r} is not one parameter=value")
        if key == "fromAtoms":
            return _cannot(text, "fromAtoms fingerprints only part of each molecule")
        if key in known.fixed and value != known.fixed[key]:
            return _cannot(text, f"RDKit's generator gives these fingerprints only with {key}={known.fixed[key]}")
        if key not in known.parameters and key not in known.fixed:
            return _cannot(text, f"{key} is not a parameter quarnel knows for {family}")
        values[key] = value
    settings = {}
    for key, (name, default) in known.parameters.items():
        value = values.get(key, str(default))
        if not value.isdigit() or (name in _BOOLEANS and value not in ("0", "1")):
            return _cannot(text, f"{key}={value} is not {'0 or 1' if name in _BOOLEANS else 'a whole number'}")
        settings[name] = value == "1" if name in _BOOLEANS else int(value)
    try:
        settings_read = FingerprintSpec(type=known.kind, **settings)
    except QuarnelError as error:
        return _cannot(text, str(error))
    if settings_read.n_bits != n_bits:
        return _cannot(text, f"it says fpSize={settings_read.n_bits} but the fingerprints have {n_bits} bits")
    return TypeReading(settings_read, None)
