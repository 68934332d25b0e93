import importlib.metadata as metadata

import pytest

import sorvel_layer._internal as internal

DIST = "sorvel-layer-internal"

try:
    metadata.distribution(DIST)
except metadata.PackageNotFoundError:  # the sanitizer run imports the build tree
    pytest.skip("the package runs from a build tree, not an installed distribution",
                allow_module_level=True)


def test_version_is_the_distributions():
    assert internal.__version__ == metadata.version(DIST)


def test_metadata_marks_the_core_private():
    meta = metadata.metadata(DIST)
    classifiers = meta.get_all("Classifier")
    assert "Private :: Do Not Upload" in classifiers
    assert "Programming Language :: Python :: 3.15" in classifiers
    assert meta["Requires-Python"] == ">=3.10"


def test_the_host_namespace_is_left_to_the_host():
    files = {str(f) for f in metadata.files(DIST)}
    assert "sorvel_layer/__init__.py" not in files
    assert any(f.startswith("sorvel_layer/_internal/") for f in files)
