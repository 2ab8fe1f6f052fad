# The LZMA SDK's C sources as Debian's lzma-dev installs them.
find_path(LZMA_SDK_DIR LzmaDec.c PATHS /usr/include/lzma NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(NOT LZMA_SDK_DIR)
    message(FATAL_ERROR "LZMA SDK sources not found: install Debian's lzma-dev")
endif()

# Decoder: compiled into the programs.
add_library(lzmadec STATIC ${LZMA_SDK_DIR}/LzmaDec.c)
target_include_directories(lzmadec SYSTEM PUBLIC ${LZMA_SDK_DIR})
target_compile_options(lzmadec PRIVATE -w)

# Encoder: for the package tool, tests and benchmarks only.
add_library(lzmaenc STATIC ${LZMA_SDK_DIR}/LzmaEnc.c ${LZMA_SDK_DIR}/LzFind.c)
target_include_directories(lzmaenc SYSTEM PUBLIC ${LZMA_SDK_DIR})
target_compile_definitions(lzmaenc PUBLIC _7ZIP_ST)
target_compile_options(lzmaenc PRIVATE -w)
