import pytest

from tessaloom import PrefixSearch, build_arrays


@pytest.fixture
def small_index():
    """cat, car, cart, dog with integer video ids."""
    records = [("cat", 1, 2), ("car", 2, 3), ("cart", 1, 1), ("dog", 3, 5)]
    return PrefixSearch.from_internal_data_v2(*build_arrays(records))
