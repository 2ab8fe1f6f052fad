# Flags shared by every target of both builds.
add_compile_options(-Wall -Wextra -Werror
    # Reproducible output: no build paths in the binaries; __FILE__ is relative to the source tree.
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)

if(WIN32)
    add_compile_definitions(WINVER=0x0601 _WIN32_WINNT=0x0601 _WIN32_IE=0x0800
        NOMINMAX STRICT _CRT_SECURE_NO_WARNINGS)
    # Static runtime: the programs run on a bare host with no DLL beside them.
    # No link time stamp: two builds of one commit are bit-identical.
    add_link_options(-static -static-libgcc -static-libstdc++
        -Wl,--no-insert-timestamp -Wl,--dynamicbase -Wl,--nxcompat -s)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
        add_link_options(-Wl,--high-entropy-va)
    else()
        # The crash report walks the frame-pointer chain on x86 (x86-64 has unwind tables).
        add_compile_options(-fno-omit-frame-pointer)
    endif()
    set(TS_SYSTEM_LIBS kernel32 user32 gdi32 advapi32 shell32 comctl32 ole32 oleaut32
        uuid urlmon version taskschd shlwapi)
endif()

# Adds every source file of the current folder to a static library.
function(ts_glob_library name)
    file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
    add_library(${name} STATIC ${_srcs})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
endfunction()
