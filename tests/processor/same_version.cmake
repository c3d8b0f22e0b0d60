# Fails unless the Python package's metadata carries the project's version.
# Run as: cmake -DPROJECT_VERSION=... -DPYPROJECT=.../pyproject.toml -P same_version.cmake
file(STRINGS "${PYPROJECT}" version_lines REGEX "^version *= *\"")
list(LENGTH version_lines count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "${PYPROJECT}: expected one version line, found ${count}")
endif()
string(REGEX REPLACE "^version *= *\"([^\"]*)\".*" "\\1" python_version "${version_lines}")
if(NOT python_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "${PYPROJECT} gives version ${python_version}, the project ${PROJECT_VERSION}")
endif()
