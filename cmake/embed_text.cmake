# Writes OUTPUT, a C++ source that defines the text of each file of INPUTS as
#   extern const char NAME[] (NAME from NAMES, in the same order),
# the bytes written as numbers so that nothing in a file can end the literal.
#   cmake -DINPUTS=a.css;b.js -DNAMES=kA;kB -DNAMESPACE=host -DOUTPUT=out.cpp -P embed_text.cmake
list(LENGTH INPUTS count)
math(EXPR last "${count} - 1")
set(text "// Generated from ${INPUTS}; edit those files instead.\nnamespace ${NAMESPACE} {\n")
foreach(i RANGE ${last})
  list(GET INPUTS ${i} input)
  list(GET NAMES ${i} name)
  file(READ "${input}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND text "extern const char ${name}[];\nconst char ${name}[] = {\n${bytes}0x00};\n")
endforeach()
string(APPEND text "}  // namespace ${NAMESPACE}\n")
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
