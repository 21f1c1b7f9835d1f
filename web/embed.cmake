# Writes OUTPUT: each of FILES as a byte array and a row of kPageFiles
# (its path on the server, its type); index.html is served as "/".
# FILES comes joined with "|".
string(REPLACE "|" ";" FILES "${FILES}")
set(rows "")
set(arrays "")
set(index 0)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  get_filename_component(extension ${file} LAST_EXT)
  file(READ ${file} bytes HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
  string(APPEND arrays "const unsigned char kPageFile${index}[] = {${bytes}};\n")
  if(name STREQUAL "index.html")
    set(path "/")
  else()
    set(path "/${name}")
  endif()
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  else()
    set(type "text/javascript; charset=utf-8")
  endif()
  string(APPEND rows "    {\"${path}\", \"${type}\", kPageFile${index}, sizeof kPageFile${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT} "// Made by web/embed.cmake from web/page/: do not edit.\n${arrays}
struct PageFile {
    const char* path;
    const char* type;
    const unsigned char* data;
    size_t size;
};
const PageFile kPageFiles[] = {
${rows}};
")
