"""A tour of _quarnel on real molecules, timed beside RDKit's own search.

Reads the NCI molecules shipped in Debian's rdkit-data, makes Morgan
radius-2 fingerprints of 2048 bits, and runs a top-k search, the maximum
similarity of every molecule to all the others, and a full matrix.
"""

import os
import tempfile
import time

import numpy as np
from rdkit import Chem, DataStructs, RDLogger
from rdkit.Chem import AllChem

import _quarnel

SMILES_FILE = "/usr/share/RDKit/Data/NCI/first_5K.smi"


def read_molecules(path):
    RDLogger.DisableLog("rdApp.*")  # a few NCI entries do not sanitise
    molecules = []
    with open(path) as lines:
        for line in lines:
            fields = line.split()
            molecule = Chem.MolFromSmiles(fields[0]) if fields else None
            if molecule is not None:
                molecules.append((fields[1], fields[0], molecule))
    return molecules


def timed(function, *args, **kwargs):
    start = time.perf_counter()
    result = function(*args, **kwargs)
    return result, time.perf_counter() - start


def main():
    molecules = read_molecules(SMILES_FILE)
    fps = [AllChem.GetMorganFingerprintAsBitVect(m, 2, nBits=2048) for _, _, m in molecules]
    queries = fps[:200]
    print(f"{len(fps)} molecules from {SMILES_FILE}, Morgan radius 2, 2048 bits; "
          f"{os.cpu_count()} CPUs\n")

    (indices, scores), ours = timed(_quarnel.bulk_tanimoto_parallel_topk, queries, fps, k=5)
    rdkit_rows, theirs = timed(lambda: [DataStructs.BulkTanimotoSimilarity(q, fps) for q in queries])
    rdkit_top = [np.argsort(-np.asarray(row), kind="stable")[:5] for row in rdkit_rows]
    same = all(np.allclose(np.asarray(row)[top], s, rtol=0, atol=0)
               for row, top, s in zip(rdkit_rows, rdkit_top, scores))
    print(f"top-5 of {len(queries)} queries against {len(fps)}: "
          f"{ours * 1e3:.1f} ms here, {theirs * 1e3:.1f} ms with BulkTanimotoSimilarity "
          f"({theirs / ours:.1f}x); same scores: {same}")
    for q in range(3):
        name, smiles, _ = molecules[q]
        others = [(i, s) for i, s in zip(indices[q], scores[q]) if i != q][:3]
        hits = ", ".join(f"{molecules[i][0]} ({s:.3f})" for i, s in others)
        print(f"  NCI {name} {smiles}: nearest others {hits}")

    nearest, ours = timed(_quarnel.internal_tanimoto_parallel, fps, agg="max")
    print(f"\nmost similar other molecule, for each of {len(fps)}: {ours * 1e3:.1f} ms; "
          f"median {np.median(nearest):.3f}, {np.count_nonzero(nearest == 1.0)} have an identical twin")

    matrix, ours = timed(_quarnel.bulk_tanimoto_parallel, queries, fps)
    rdkit_matrix, theirs = timed(
        lambda: np.array([DataStructs.BulkTanimotoSimilarity(q, fps) for q in queries]))
    print(f"full matrix {matrix.shape}: {ours * 1e3:.1f} ms here, {theirs * 1e3:.1f} ms with "
          f"BulkTanimotoSimilarity ({theirs / ours:.1f}x); identical: {np.array_equal(matrix, rdkit_matrix)}")

    with tempfile.TemporaryDirectory() as scratch:
        library, query_file = os.path.join(scratch, "library.fp"), os.path.join(scratch, "queries.fp")
        _quarnel.save_fingerprints(fps, library)
        _quarnel.save_fingerprints(queries, query_file)
        (file_indices, file_scores), ours = timed(_quarnel.bulk_tanimoto_mmap_topk, query_file, library, k=5)
        sliced, _ = _quarnel.bulk_tanimoto_mmap_topk(query_file, library, k=5, db_offset=2000)
        print(f"\nthe same top-5 from files on disk ({os.path.getsize(library) / 1e6:.1f} MB, mapped): "
              f"{ours * 1e3:.1f} ms; identical: {np.array_equal(file_indices, indices) and np.array_equal(file_scores, scores)}; "
              f"searching from row 2000 on gives indices {sliced.min()} to {sliced.max()}")


if __name__ == "__main__":
    main()
