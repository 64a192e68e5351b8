# SPDX-License-Identifier: Apache-2.0
# telmor_export_list(<target> <list-file>)
# Limits the dynamic symbol table of a shared library to the names in a list
# file (one per line, '#' comments): a linker version script is generated from
# it, so C++ runtime and OpenSSL symbols never leak out.
function(telmor_export_list target list_file)
  file(STRINGS "${list_file}" lines)
  set(names "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    string(APPEND names "    ${line};\n")
  endforeach()
  set(map "${CMAKE_CURRENT_BINARY_DIR}/${target}.map")
  file(CONFIGURE OUTPUT "${map}" CONTENT "{\n  global:\n${names}  local: *;\n};\n")
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${list_file}" "${map}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${list_file}")
endfunction()
