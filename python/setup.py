"""Builds brimvox._core with CMake (python/CMakeLists.txt, which compiles ../codec); the
metadata lives in pyproject.toml."""

import os
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        import pybind11

        out_dir = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        build_dir = Path(os.environ.get("BRIMVOX_CMAKE_BUILD_DIR", HERE.parent / "build" / "python"))
        build_dir.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            [
                "cmake", "-S", str(HERE), "-B", str(build_dir),
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython_EXECUTABLE={sys.executable}",
                f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
                f"-DBRIMVOX_PYTHON_OUTPUT_DIR={out_dir}",
            ],
            check=True,
        )
        jobs = os.environ.get("BRIMVOX_BUILD_JOBS", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build_dir), "-j", jobs], check=True)


setup(ext_modules=[Extension("brimvox._core", sources=[])], cmdclass={"build_ext": CMakeBuild})
