# SPDX-License-Identifier: Apache-2.0
# The served USB vendor ID: checked once here, because the same text becomes
# a C++ literal (0x...) and a udev match on sysfs's idVendor, which is always
# four lowercase hex digits. A typo would otherwise build a program that
# silently serves some other vendor.

# zelvik_normalize_vendor_id(<id> <out-var>): sets <out-var> to the four-digit
# lowercase form of <id> (1 to 4 hex digits, no 0x), or stops configuring.
function(zelvik_normalize_vendor_id id out_var)
  if(NOT id MATCHES "^[0-9A-Fa-f]([0-9A-Fa-f]?)([0-9A-Fa-f]?)([0-9A-Fa-f]?)$")
    message(FATAL_ERROR
      "ZELVIK_PRINTER_VENDOR_ID must be 1 to 4 hexadecimal digits without 0x (got '${id}')")
  endif()
  string(TOLOWER "${id}" lower)
  string(LENGTH "${lower}" length)
  while(length LESS 4)
    string(PREPEND lower "0")
    math(EXPR length "${length} + 1")
  endwhile()
  set(${out_var} "${lower}" PARENT_SCOPE)
endfunction()

# zelvik_write_udev_rule(<id> <template> <output>): the udev rule granting the
# seat's user access to the vendor's printers.
function(zelvik_write_udev_rule id template output)
  zelvik_normalize_vendor_id("${id}" ZELVIK_UDEV_VENDOR_ID)
  configure_file("${template}" "${output}" @ONLY)
endfunction()
