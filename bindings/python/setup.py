"""The wheel's one step of its own: it is for one platform, since it carries a library of that
platform's, which the build names in setup.cfg's [bdist_wheel] plat_name; yet any Python 3 takes it
(py3, ABI none), since it loads the library through ctypes. Everything else is in pyproject.toml."""
from setuptools import Distribution, setup
from wheel.bdist_wheel import bdist_wheel


class PlatformDistribution(Distribution):
    def has_ext_modules(self):
        return True  # the library: so the wheel is a platform's, its files installed as such (platlib)


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        return "py3", "none", super().get_tag()[2]


setup(distclass=PlatformDistribution, cmdclass={"bdist_wheel": PlatformWheel})
