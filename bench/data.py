"""Benchmark fingerprints: real molecules from Debian's rdkit-data, packed
into uint64 rows and grown to a large database with NumPy alone, so that a
million rows never pass through a million ExplicitBitVect objects."""

import numpy as np
from rdkit import Chem, RDLogger
from rdkit.Chem import AllChem, MACCSkeys

SMILES_FILE = "/usr/share/RDKit/Data/NCI/first_5K.smi"
SDF_FILE = "/usr/share/RDKit/Data/NCI/first_200.props.sdf"
MACCS_BITS = 167


def read_molecules():
    RDLogger.DisableLog("rdApp.*")  # a few NCI entries do not sanitise
    with open(SMILES_FILE) as lines:
        mols = [Chem.MolFromSmiles(line.split()[0]) for line in lines if line.strip()]
    mols += list(Chem.SDMolSupplier(SDF_FILE))
    return [m for m in mols if m is not None]


def fingerprint(mol, n_bits):
    if n_bits == MACCS_BITS:
        return MACCSkeys.GenMACCSKeys(mol)
    return AllChem.GetMorganFingerprintAsBitVect(mol, 2, nBits=n_bits)


def pack(fps, n_bits):
    """Rows of little-endian uint64 words, bit i in word i // 64 at i % 64."""
    words = -(-n_bits // 64)
    bits = np.zeros((len(fps), words * 64), np.uint8)
    for row, fp in zip(bits, fps):
        row[:n_bits] = np.frombuffer(fp.ToBitString().encode(), np.uint8) - ord("0")
    return np.packbits(bits, axis=1, bitorder="little").view("<u8")


def grow(base, n_rows, n_bits, rng, max_flips=4):
    """The base rows first, unchanged, then random copies of them with one
    to max_flips bits flipped each, so densities and near neighbours stay
    those of real molecules."""
    picks = np.concatenate([np.arange(len(base)), rng.integers(0, len(base), n_rows - len(base))])
    rows = base[picks]
    copies = np.arange(len(base), n_rows)
    flips = rng.integers(1, max_flips + 1, len(copies))
    one = np.uint64(1)
    for j in range(max_flips):
        chosen = copies[flips > j]
        bit = rng.integers(0, n_bits, len(chosen))
        # Distinct rows per pass, so plain fancy indexing never drops a flip.
        rows[chosen, bit // 64] ^= one << (bit % 64).astype(np.uint64)
    return rows


def write_fps(path, rows, n_bits):
    """The module's file format: u32 count, u32 n_bits, then the rows."""
    with open(path, "wb") as out:
        out.write(np.array([len(rows), n_bits], "<u4").tobytes())
        np.ascontiguousarray(rows, "<u8").tofile(out)
    return path
