# Writes the header with the SHA-256 of every driver package file, at build
# time, after the files are made:
#   cmake -DOUT=<header> "-DFILES=Name.inf=path;Name.sys=path" -P package_digests.cmake
set(text "// Written by the build: the SHA-256 of each file of the driver packages.\n#pragma once\n\n")
string(APPEND text "#define PORTLINE_SETUP_PACKAGE_DIGESTS \\\n")
foreach(entry IN LISTS FILES)
  string(FIND "${entry}" "=" split)
  string(SUBSTRING "${entry}" 0 ${split} name)
  math(EXPR from "${split} + 1")
  string(SUBSTRING "${entry}" ${from} -1 path)
  file(SHA256 "${path}" digest)
  string(APPEND text "  {L\"${name}\", \"${digest}\"}, \\\n")
endforeach()
string(APPEND text "\n")
file(WRITE "${OUT}.new" "${text}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}.new" "${OUT}")
file(REMOVE "${OUT}.new")
