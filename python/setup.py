"""The wheel's tag. The package holds a compiled library but no extension
module: the wheel is platform-specific (its files go to platlib), yet any
Python 3 may load it, so the tag is py3-none-<platform>, for example
py3-none-linux_x86_64. Everything else is in pyproject.toml."""

from setuptools import Distribution, setup
from wheel.bdist_wheel import bdist_wheel


class LibraryDistribution(Distribution):
    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        return "py3", "none", super().get_tag()[2]


setup(distclass=LibraryDistribution, cmdclass={"bdist_wheel": PlatformWheel})
