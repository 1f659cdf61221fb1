import itertools
import shutil
from pathlib import Path
from types import SimpleNamespace

import pytest

import orvtest

_sites = itertools.count(1)


@pytest.fixture(scope="session")
def endpoints():
    return orvtest.read_endpoints()


@pytest.fixture
def site(endpoints, request):
    """A folder on the nginx test server: files written there are served at url."""
    name = "e2e-%s-%d" % (request.node.name.replace("[", "-").replace("]", ""), next(_sites))
    folder = Path(endpoints["docroot_unix"]) / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    yield SimpleNamespace(folder=folder, url=endpoints["http"] + name + "/")
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def install(tmp_path):
    """A fresh install folder (with a blank in its name, as under Program Files)."""
    folder = tmp_path / "Install Folder"
    folder.mkdir()
    return folder


@pytest.fixture
def registry():
    """Clears the RunOnce value and the delayed moves before and after; gives a reader of registry values."""
    orvtest.clear_reboot_registry()
    yield orvtest.registry_value
    orvtest.clear_reboot_registry()
