# Writes a C++ source holding each Feature Definition as a raw string, byte
# for byte:
#   cmake -DOUT=file.cpp -DFEATURES="fqi|file!..." -P EmbedFeatures.cmake
file(WRITE ${OUT} "// Generated from sila/features/ by EmbedFeatures.cmake.\n"
                  "#include \"sila/FeatureCatalog.h\"\n\n"
                  "const std::vector<FeatureCatalog::Feature>& FeatureCatalog::all()\n{\n"
                  "    static const std::vector<Feature> features = {\n")
string(REPLACE "!" ";" FEATURES "${FEATURES}")
foreach(feature ${FEATURES})
  string(REPLACE "|" ";" parts "${feature}")
  list(GET parts 0 fqi)
  list(GET parts 1 source)
  file(READ ${source} content)
  string(FIND "${content}" ")silafdl\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${source} holds the raw string delimiter")
  endif()
  file(APPEND ${OUT} "        {\"${fqi}\", R\"silafdl(${content})silafdl\"},\n")
endforeach()
file(APPEND ${OUT} "    };\n    return features;\n}\n")
