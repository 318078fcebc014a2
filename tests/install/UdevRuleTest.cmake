# SPDX-License-Identifier: Apache-2.0
# The udev rule: what configuring wrote for the configured vendor, and what
# the generator makes of other vendor IDs (normalised, or refused).
#   cmake -DSOURCE_DIR=... -DGENERATED_RULE=... -DCONFIGURED_VENDOR_ID=...
#         -DWORK_DIR=... -P UdevRuleTest.cmake
# Run with -DMODE=generate -DID=... -DOUT=... it only generates one rule, so
# that a refused ID can be seen to stop a configure step of its own.
list(APPEND CMAKE_MODULE_PATH ${SOURCE_DIR}/cmake)
include(ZelvikVendor)
set(template ${SOURCE_DIR}/udev/60-zelvik.rules.in)

if(MODE STREQUAL "generate")
  zelvik_write_udev_rule("${ID}" ${template} ${OUT})
  return()
endif()

# Every failed check is reported; any of them makes the script fail.
macro(fail what)
  message(SEND_ERROR "${what}")
endmacro()

# The one line that grants access, from a rule file; comments and the
# remove-event skip are not what a reviewer needs to compare.
function(granting_line file out_var)
  file(STRINGS ${file} lines REGEX "TAG\\+=")
  set(${out_var} "${lines}" PARENT_SCOPE)
endfunction()

function(check_rule file vendor)
  file(STRINGS ${file} text REGEX "^[^#]")
  granting_line(${file} line)
  set(expected "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"${vendor}\", ENV{ID_USB_INTERFACES}==\"*:07????:*\", TAG+=\"uaccess\"")
  if(NOT line STREQUAL expected)
    fail("${file}: for vendor ${vendor} the rule reads\n  ${line}\nexpected\n  ${expected}")
  endif()
  # Access for the seat's user only: no world-writable mode, no group.
  if(text MATCHES "MODE|GROUP|OWNER")
    fail("${file}: changes the node's mode or ownership")
  endif()
  if(NOT text MATCHES "ACTION==\"remove\", GOTO=\"zelvik_end\"")
    fail("${file}: does not skip remove events")
  endif()
endfunction()

# What configuring wrote is what the generator gives for the configured ID.
zelvik_normalize_vendor_id("${CONFIGURED_VENDOR_ID}" configured)
check_rule(${GENERATED_RULE} ${configured})

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# Accepted IDs: the rule matches sysfs's spelling, four lowercase digits.
set(accepted "FFFE=fffe" "04B8=04b8" "4b8=04b8" "1=0001" "abcd=abcd")
foreach(pair IN LISTS accepted)
  string(REPLACE "=" ";" parts "${pair}")
  list(GET parts 0 id)
  list(GET parts 1 sysfs)
  set(out ${WORK_DIR}/rule-${id}.rules)
  zelvik_write_udev_rule("${id}" ${template} ${out})
  check_rule(${out} ${sysfs})
endforeach()

# Another vendor gives another rule.
file(READ ${WORK_DIR}/rule-FFFE.rules first)
file(READ ${WORK_DIR}/rule-04B8.rules second)
if(first STREQUAL second)
  fail("vendors FFFE and 04B8 give the same rule")
endif()

# Refused IDs stop configuring instead of serving some other vendor.
foreach(id "0x04b8" "12345" "xyz1" "" "04 b8" "-1")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DMODE=generate "-DID=${id}" -DOUT=${WORK_DIR}/refused.rules
            -DSOURCE_DIR=${SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_FILE}
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE error)
  if(status EQUAL 0 OR EXISTS ${WORK_DIR}/refused.rules)
    fail("vendor ID '${id}' was accepted")
  elseif(NOT error MATCHES "ZELVIK_PRINTER_VENDOR_ID must be")
    fail("vendor ID '${id}' refused without saying why: ${error}")
  endif()
  file(REMOVE ${WORK_DIR}/refused.rules)
endforeach()
