# Turns the English language file into a C++ source, so that the programs carry the
# very file that translators start from. Run as: cmake -DIN=<file.tsi> -DOUT=<file.cpp> -P <this>
file(READ "${IN}" _text)
string(FIND "${_text}" ")tsi\"" _clash)
if(NOT _clash EQUAL -1)
    message(FATAL_ERROR "${IN} contains the raw-string delimiter )tsi\"")
endif()
file(WRITE "${OUT}.tmp"
"// Generated from LocalizationStrings/en-English.tsi; edit that file instead.
#include <cstddef>
extern const char g_szBuiltinStringTable[];
extern const size_t g_nBuiltinStringTableSize;
const char g_szBuiltinStringTable[] = R\"tsi(${_text})tsi\";
const size_t g_nBuiltinStringTableSize = sizeof(g_szBuiltinStringTable) - 1;
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
