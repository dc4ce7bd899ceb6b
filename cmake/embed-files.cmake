# Turns files into a C++ source with one byte array each, for programs that
# serve their own files: cmake -DOUTPUT=x.cpp -DNAMESPACE=ns -DHEADER=h.h
#   -DTABLE=NAME -DFILES="name=path|name=path" -P embed-files.cmake
# The table is `const Asset NAME[]` and `const std::size_t NAME_COUNT`, Asset
# being {const char* name; const unsigned char* data; std::size_t size}.
set(body "// Generated from the files of the page; edit those, not this.\n")
string(APPEND body "#include \"${HEADER}\"\n\nnamespace ${NAMESPACE} {\nnamespace {\n")
set(table "")
set(i 0)
string(REPLACE "|" ";" FILES "${FILES}")
foreach(entry IN LISTS FILES)
  string(FIND "${entry}" "=" eq)
  string(SUBSTRING "${entry}" 0 ${eq} name)
  math(EXPR from "${eq} + 1")
  string(SUBSTRING "${entry}" ${from} -1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
         "\\1\n" bytes "${bytes}")
  string(APPEND body "const unsigned char DATA_${i}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${name}\", DATA_${i}, ${size}},\n")
  math(EXPR i "${i} + 1")
endforeach()
string(APPEND body "}  // namespace\n\nconst Asset ${TABLE}[] = {\n${table}};\n")
string(APPEND body "const std::size_t ${TABLE}_COUNT = ${i};\n\n}  // namespace ${NAMESPACE}\n")
# Rewritten only when it changes, so that nothing rebuilds without need.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
  if(old STREQUAL body)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${body}")
