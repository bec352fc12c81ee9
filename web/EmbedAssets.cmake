# Writes a C++ source holding the files as raw strings:
#   cmake -DOUT=file.cpp -DASSETS="path|type|file!..." -P EmbedAssets.cmake
# Text types are served as UTF-8.
file(WRITE ${OUT} "// Generated from the files of web/ by EmbedAssets.cmake.\n"
                  "#include \"web/WebAssets.h\"\n\nnamespace {\n\nconst WebAsset ASSETS[] = {\n")
string(REPLACE "!" ";" ASSETS "${ASSETS}")
foreach(asset ${ASSETS})
  string(REPLACE "|" ";" parts "${asset}")
  list(GET parts 0 path)
  list(GET parts 1 type)
  list(GET parts 2 source)
  if(type MATCHES "^text/")
    set(type "${type}; charset=utf-8")
  endif()
  file(READ ${source} content)
  string(FIND "${content}" ")sipperweb\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${source} holds the raw string delimiter")
  endif()
  file(APPEND ${OUT} "    {\"${path}\", \"${type}\", R\"sipperweb(${content})sipperweb\"},\n")
endforeach()
file(APPEND ${OUT} "};\n\n}  // namespace\n\nconst WebAsset* find_web_asset(std::string_view path)\n{\n"
                   "    for (const WebAsset& a : ASSETS)\n        if (a.path == path)\n            return &a;\n"
                   "    return nullptr;\n}\n")
