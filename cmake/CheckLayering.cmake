# SPDX-License-Identifier: Apache-2.0
# Fails the build when a source file includes a header of a layer it must
# not see. Every library lives in one folder of src/; a folder sees only
# the layers below it:
#
#   base                        nothing
#   files, xml                  base (xml: the byte strings of files)
#   usb                         base, files, xml: never a USB backend, never app
#   usb/sim, usb/libusb         the printer link's access contract (usb), base, files, xml
#   usb/record                  the same, and the printer description (usb/sim) it records as
#   app                         every layer of the helper
#   client                      base, files, xml (the helper's XML conversion),
#                               usb/sim (the bus file reader, for its check)
#   ctl                         the client library's public header only
#
# An include without a folder ("Process.h") is the file's own folder's.
#   cmake -DSOURCE_DIR=... -P CheckLayering.cmake
cmake_minimum_required(VERSION 3.20)
set(allowed_base "base")
set(allowed_files "files;base")
set(allowed_xml "xml;files;base")
set(allowed_usb "usb;xml;files;base")
set(allowed_usb/sim "usb/sim;usb;xml;files;base")
set(allowed_usb/libusb "usb/libusb;usb;xml;files;base")
set(allowed_usb/record "usb/record;usb/sim;usb;xml;files;base")
set(allowed_app "app;usb;usb/sim;usb/libusb;usb/record;xml;files;base")
set(allowed_client "client;zelvik;xml;files;base;usb/sim")
set(allowed_ctl "ctl;zelvik")

file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}/src"
     "${SOURCE_DIR}/src/*.h" "${SOURCE_DIR}/src/*.cpp")
set(faults "")
foreach(source IN LISTS sources)
  # The file's layer: usb/sim, usb/libusb and usb/record are layers of their own.
  string(REGEX MATCH "^(usb/sim|usb/libusb|usb/record|[^/]+)/" layer "${source}")
  string(REGEX REPLACE "/$" "" layer "${layer}")
  if(NOT DEFINED allowed_${layer})
    list(APPEND faults "${source}: in a folder that no layer rule names")
    continue()
  endif()
  file(STRINGS "${SOURCE_DIR}/src/${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" header "${line}")
    if(NOT header MATCHES "/")
      continue()
    endif()
    string(REGEX MATCH "^(usb/sim|usb/libusb|usb/record|[^/]+)/" seen "${header}")
    string(REGEX REPLACE "/$" "" seen "${seen}")
    if(NOT seen IN_LIST allowed_${layer})
      list(APPEND faults "${source}: includes \"${header}\", which layer ${layer} must not see")
    endif()
  endforeach()
endforeach()
if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "layering:\n  ${text}")
endif()
