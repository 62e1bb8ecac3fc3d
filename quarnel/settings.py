"""How molecules become fingerprints: the RDKit generator and its settings,
stored in a database's metadata so that molecules given later (queries,
picks) are fingerprinted the same way."""

from __future__ import annotations

import dataclasses
from typing import Optional

from .errors import QuarnelError

FINGERPRINT_TYPES = ("morgan", "rdkit", "atompair", "torsion", "maccs")
MACCS_BITS = 167
DEFAULT_BITS = 2048

# The settings each type takes besides its bit count; the others are left
# at their defaults, and giving one explicitly is an error.
TYPE_OPTIONS = {
    "morgan": ("radius", "features"),
    "rdkit": ("min_path", "max_path"),
    "atompair": (),
    "torsion": (),
    "maccs": (),
}
# Settings that fingerprints from elsewhere (chemfp's FPS files) may have
# changed, stored only where they differ from RDKit's defaults, so that the
# metadata of databases made before they existed still reads the same.
RARE_OPTIONS = {
    "morgan": ("chirality", "bond_types"),
    "rdkit": ("bits_per_hash", "use_hs"),
    "atompair": ("min_length", "max_length"),
    "torsion": (),
    "maccs": (),
}


@dataclasses.dataclass(frozen=True)
class FingerprintSpec:
    """How molecules become fingerprints: the RDKit generator and its
    settings.  ``n_bits`` None means the type's own default (2048; MACCS
    keys always have 167).  The settings are those of RDKit's generators:
    Morgan's `chirality` and `bond_types` (``includeChirality``,
    ``useBondTypes``), the RDKit paths' `bits_per_hash` and `use_hs`
    (``numBitsPerFeature``, ``useHs``) and the atom pairs' distances
    `min_length` and `max_length`."""

    type: str = "morgan"
    n_bits: Optional[int] = None
    radius: int = 2
    features: bool = False
    min_path: int = 1
    max_path: int = 7
    chirality: bool = False
    bond_types: bool = True
    bits_per_hash: int = 2
    use_hs: bool = True
    min_length: int = 1
    max_length: int = 30

    def __post_init__(self):
        if self.type not in FINGERPRINT_TYPES:
            raise QuarnelError(f"unknown fingerprint type {self.type!r}; "
                               f"choose one of {', '.join(FINGERPRINT_TYPES)}")
        if self.type == "maccs":
            if self.n_bits not in (None, MACCS_BITS):
                raise QuarnelError(f"MACCS keys have 167 bits; the bit count cannot be {self.n_bits}")
            object.__setattr__(self, "n_bits", MACCS_BITS)
        elif self.n_bits is None:
            object.__setattr__(self, "n_bits", DEFAULT_BITS)
        for name in ("n_bits", "radius", "min_path", "max_path", "bits_per_hash", "min_length", "max_length"):
            if isinstance(getattr(self, name), bool) or not isinstance(getattr(self, name), int):
                raise QuarnelError(f"the fingerprint setting {name} must be a whole number, "
                                   f"not {getattr(self, name)!r}")
        for name in ("features", "chirality", "bond_types", "use_hs"):
            if not isinstance(getattr(self, name), bool):
                raise QuarnelError(f"the fingerprint setting {name} must be true or false, "
                                   f"not {getattr(self, name)!r}")
        if not 1 <= self.n_bits <= 2**31:
            raise QuarnelError(f"the bit count must be between 1 and 2^31, not {self.n_bits}")
        if self.radius < 0:
            raise QuarnelError(f"the Morgan radius must be 0 or more, not {self.radius}")
        if not 1 <= self.min_path <= self.max_path:
            raise QuarnelError(f"paths need 1 <= min_path <= max_path, not {self.min_path}..{self.max_path}")
        if self.bits_per_hash < 1:
            raise QuarnelError(f"RDKit paths set at least 1 bit each, not {self.bits_per_hash}")
        if not 0 <= self.min_length <= self.max_length:
            raise QuarnelError(f"atom pairs need 0 <= min_length <= max_length, "
                               f"not {self.min_length}..{self.max_length}")

    @classmethod
    def from_options(cls, type: str = "morgan", n_bits: Optional[int] = None, **given) -> "FingerprintSpec":
        """Settings from options of which only those given (not None) are
        set; an option that the type does not take is an error, not
        silently ignored."""
        given = {name: value for name, value in given.items() if value is not None and value is not False}
        taken = TYPE_OPTIONS.get(type, ()) + RARE_OPTIONS.get(type, ()) if type in TYPE_OPTIONS else given
        foreign = sorted(set(given) - set(taken))
        if foreign:
            listed = ", ".join(name.replace("_", "-") for name in foreign)
            raise QuarnelError(f"{listed} do{'es' if len(foreign) == 1 else ''} not apply to {type} fingerprints")
        return cls(type=type, n_bits=n_bits, **given)

    def as_metadata(self) -> dict:
        """The settings that matter for this type, for the JSON sidecar."""
        settings = {"type": self.type, "n_bits": self.n_bits}
        settings.update({name: getattr(self, name) for name in TYPE_OPTIONS[self.type]})
        settings.update({name: getattr(self, name) for name in RARE_OPTIONS[self.type]
                         if getattr(self, name) != _DEFAULTS[name]})
        return settings

    def describe(self) -> str:
        return " ".join(f"{key}={value}" for key, value in self.as_metadata().items())

    @classmethod
    def from_metadata(cls, settings, where: str = "metadata") -> "FingerprintSpec":
        """The settings of a metadata sidecar's "fingerprint" section;
        `where` names the sidecar in errors."""
        if not isinstance(settings, dict):
            raise QuarnelError(f"{where}: \"fingerprint\" must be an object of settings, not {settings!r}")
        known = {f.name for f in dataclasses.fields(cls)}
        try:
            return cls(**{key: value for key, value in settings.items() if key in known})
        except QuarnelError as error:
            raise QuarnelError(f"{where}: {error}") from None

    def fingerprinter(self):
        """A function from an RDKit molecule to its ExplicitBitVect, with the
        generator built once."""
        from rdkit.Chem import rdFingerprintGenerator as generators
        from rdkit.Chem import rdMolDescriptors

        if self.type == "maccs":
            return rdMolDescriptors.GetMACCSKeysFingerprint
        if self.type == "morgan":
            extra = {}
            if self.features:
                extra["atomInvariantsGenerator"] = generators.GetMorganFeatureAtomInvGen()
            generator = generators.GetMorganGenerator(radius=self.radius, fpSize=self.n_bits,
                                                      includeChirality=self.chirality,
                                                      useBondTypes=self.bond_types, **extra)
        elif self.type == "rdkit":
            generator = generators.GetRDKitFPGenerator(
                minPath=self.min_path, maxPath=self.max_path, fpSize=self.n_bits,
                numBitsPerFeature=self.bits_per_hash, useHs=self.use_hs)
        elif self.type == "atompair":
            generator = generators.GetAtomPairGenerator(minDistance=self.min_length, maxDistance=self.max_length,
                                                        fpSize=self.n_bits)
        else:
            generator = generators.GetTopologicalTorsionGenerator(fpSize=self.n_bits)
        return generator.GetFingerprint


_DEFAULTS = {field.name: field.default for field in dataclasses.fields(FingerprintSpec)}
