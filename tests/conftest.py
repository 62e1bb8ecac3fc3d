import itertools

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from rdkit import Chem, RDLogger
from rdkit.Chem import AllChem

import reference

# Fixed examples, so a failure in CI is the same failure on a laptop; few
# enough that the randomized checks stay quick on two cores.
settings.register_profile(
    "quarnel",
    max_examples=60,
    derandomize=True,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile("thorough", max_examples=1000, deadline=None)
settings.load_profile("quarnel")

NCI_SMILES = "/usr/share/RDKit/Data/NCI/first_5K.smi"


@pytest.fixture(scope="session")
def molecule_fps():
    """Morgan radius-2, 2048-bit fingerprints of 300 real molecules."""
    RDLogger.DisableLog("rdApp.*")
    fps = []
    with open(NCI_SMILES) as lines:
        for line in itertools.islice(lines, 400):
            mol = Chem.MolFromSmiles(line.split()[0])
            if mol is not None:
                fps.append(AllChem.GetMorganFingerprintAsBitVect(mol, 2, nBits=2048))
    return fps[:300]


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)


@pytest.fixture
def small_set(rng):
    """A few 167-bit vectors, two of them empty and one duplicated."""
    fps = reference.random_fingerprints(rng, 6, 167, density=0.2)
    fps += [reference.fingerprint(167), reference.fingerprint(167), fps[0]]
    return fps
