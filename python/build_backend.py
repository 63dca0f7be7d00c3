"""The package's build backend: setuptools' own, run on a copy of the source in a private
temporary folder, so that `pip install ./python` leaves no build/ or *.egg-info folder in
the source tree (setuptools writes both beside the sources it builds)."""

import functools
import os
import shutil
import tempfile

from setuptools import build_meta as _setuptools


def _in_a_copy(step):
    @functools.wraps(step)
    def run(*args, **kwargs):
        source = os.getcwd()
        with tempfile.TemporaryDirectory(prefix="trendlib-build-") as folder:
            copy = os.path.join(folder, "source")
            shutil.copytree(source, copy, ignore=shutil.ignore_patterns(
                "build", "*.egg-info", "__pycache__"))
            os.chdir(copy)
            try:
                return step(*args, **kwargs)
            finally:
                os.chdir(source)
    return run


get_requires_for_build_wheel = _in_a_copy(_setuptools.get_requires_for_build_wheel)
get_requires_for_build_sdist = _in_a_copy(_setuptools.get_requires_for_build_sdist)
prepare_metadata_for_build_wheel = _in_a_copy(_setuptools.prepare_metadata_for_build_wheel)
build_wheel = _in_a_copy(_setuptools.build_wheel)
build_sdist = _in_a_copy(_setuptools.build_sdist)
# An editable install links the sources themselves: setuptools' own step.
get_requires_for_build_editable = getattr(_setuptools, "get_requires_for_build_editable", None)
prepare_metadata_for_build_editable = getattr(_setuptools, "prepare_metadata_for_build_editable",
                                              None)
build_editable = getattr(_setuptools, "build_editable", None)
