# Writes the board library's version script from the list of interposed
# names: those names and the vboard_* control calls are exported, nothing
# else, so a program's own symbols never meet the board's internals.
#   cmake -DLIST=interposed.def -DOUT=exports.map -P exports.cmake
file(STRINGS "${LIST}" entries REGEX "^VBOARD_LIBC\\(")
set(names "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^VBOARD_LIBC\\([^,]+, *([A-Za-z_][A-Za-z0-9_]*),.*$" "\\1" name "${entry}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
list(LENGTH names count)
list(REMOVE_DUPLICATES names)
list(LENGTH names unique)
if(NOT count EQUAL unique)
  message(FATAL_ERROR "${LIST}: a name is listed twice")
endif()
set(text "/* Made from interposed.def when the library is built. */\n{\n  global:\n")
foreach(name IN LISTS names)
  string(APPEND text "    ${name};\n")
endforeach()
string(APPEND text "    vboard_*;\n  local:\n    *;\n};\n")
# Rewritten only when it changes, so the library is not relinked for nothing.
file(CONFIGURE OUTPUT "${OUT}" CONTENT "${text}" @ONLY)
