# SPDX-License-Identifier: Apache-2.0
# The configure-time check that the Debian changelog carries the project's
# version: which changelog headings it accepts for version 0.1.0.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -P VersionCheckTest.cmake
# With -DMODE=check -DCHANGELOG=... it only runs the check, so that a refusal
# (which stops the script) is seen from outside.
list(APPEND CMAKE_MODULE_PATH ${SOURCE_DIR}/cmake)
include(ZelvikVersion)

if(MODE STREQUAL "check")
  zelvik_check_changelog_version(${CHANGELOG} 0.1.0)
  return()
endif()

file(MAKE_DIRECTORY ${WORK_DIR})
set(changelog ${WORK_DIR}/changelog)
# heading version = expected outcome
set(cases
  "0.1.0=accepted" "0.1.0-1=accepted" "1:0.1.0-2=accepted" "0.1.0+deb12u1=accepted"
  "0.2.0=refused" "0.1=refused" "0.1.0.1=refused" "10.1.0=refused")
foreach(case IN LISTS cases)
  string(REPLACE "=" ";" parts "${case}")
  list(GET parts 0 version)
  list(GET parts 1 expected)
  file(WRITE ${changelog} "zelvik (${version}) unstable; urgency=medium\n\n  * A change.\n")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DMODE=check -DCHANGELOG=${changelog} -DSOURCE_DIR=${SOURCE_DIR}
            -P ${CMAKE_CURRENT_LIST_FILE}
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE error)
  if(status EQUAL 0)
    set(outcome accepted)
  else()
    set(outcome refused)
  endif()
  if(NOT outcome STREQUAL expected)
    message(SEND_ERROR "changelog version ${version}: ${outcome}, expected ${expected}\n${error}")
  endif()
endforeach()
