# SPDX-License-Identifier: Apache-2.0
# The project version is the one in project(); the Debian changelog must carry
# the same one, so that a release cannot ship a package whose version says
# something else than the program it contains.

# zelvik_check_changelog_version(<changelog> <version>)
function(zelvik_check_changelog_version changelog version)
  if(NOT EXISTS "${changelog}")
    return()
  endif()
  file(STRINGS "${changelog}" first_line LIMIT_COUNT 1)
  # "zelvik (0.1.0) unstable; urgency=medium": the upstream part of the
  # version is what precedes an optional Debian revision or epoch-free suffix.
  if(NOT first_line MATCHES "^[a-z0-9.+-]+ \\(([0-9]+:)?([^)~+-]+)[^)]*\\)")
    message(FATAL_ERROR "${changelog}: cannot read the version from its first line: ${first_line}")
  endif()
  if(NOT CMAKE_MATCH_2 STREQUAL version)
    message(FATAL_ERROR
      "${changelog} says version ${CMAKE_MATCH_2}, CMakeLists.txt says ${version}: make them agree")
  endif()
endfunction()

# The Python package carries the same version, in its pyproject.toml and
# in zelvik.__version__; so does the utility, in zelvik_utility.__version__.
# zelvik_check_python_version(<python or utility folder> <version>)
function(zelvik_check_python_version folder version)
  foreach(file pyproject.toml zelvik/__init__.py zelvik_utility/__init__.py)
    if(NOT EXISTS "${folder}/${file}")
      continue()
    endif()
    file(STRINGS "${folder}/${file}" lines REGEX "^(__)?version(__)? = \"[^\"]*\"$")
    if(NOT lines MATCHES "\"([^\"]*)\"")
      message(FATAL_ERROR "${folder}/${file}: no version line")
    endif()
    if(NOT CMAKE_MATCH_1 STREQUAL version)
      message(FATAL_ERROR "${folder}/${file} says version ${CMAKE_MATCH_1}, CMakeLists.txt says ${version}: make them agree")
    endif()
  endforeach()
endfunction()

# The utility's AppStream metainfo names the version as its latest release
# (the first one listed), which software centres show.
# zelvik_check_metainfo_version(<metainfo file> <version>)
function(zelvik_check_metainfo_version metainfo version)
  file(STRINGS "${metainfo}" releases REGEX "<release version=\"[^\"]*\"")
  if(NOT releases MATCHES "<release version=\"([^\"]*)\"")
    message(FATAL_ERROR "${metainfo}: no release")
  endif()
  if(NOT CMAKE_MATCH_1 STREQUAL version)
    message(FATAL_ERROR "${metainfo} says version ${CMAKE_MATCH_1}, CMakeLists.txt says ${version}: add the release")
  endif()
endfunction()
