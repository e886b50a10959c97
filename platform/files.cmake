# The file layer and the sound-file reader: the parts of platform/ that programs beside the
# engine use too (the command-line tool, the Python extension). Included by platform/ and by
# the Python extension's own project.

# Files and the system's texts for their errors.
add_library(brimvox_files STATIC ${CMAKE_CURRENT_LIST_DIR}/file.cpp)
target_include_directories(brimvox_files PUBLIC ${CMAKE_CURRENT_LIST_DIR})
set_target_properties(brimvox_files PROPERTIES POSITION_INDEPENDENT_CODE ON)

# Sound files to 8000 Hz mono samples, streamed: libsndfile and libsamplerate where the build
# has them (not in the Windows builds, which read 16-bit 8000 Hz mono WAV and raw samples).
add_library(brimvox_sound_reader STATIC ${CMAKE_CURRENT_LIST_DIR}/sound_reader.cpp)
target_link_libraries(brimvox_sound_reader PUBLIC brimvox_files)
set_target_properties(brimvox_sound_reader PROPERTIES POSITION_INDEPENDENT_CODE ON)
if(NOT WIN32)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
    pkg_check_modules(SAMPLERATE REQUIRED IMPORTED_TARGET samplerate)
    target_link_libraries(brimvox_sound_reader PUBLIC PkgConfig::SNDFILE PkgConfig::SAMPLERATE)
    target_compile_definitions(brimvox_sound_reader PUBLIC BRIMVOX_HAVE_SNDFILE
                                                           BRIMVOX_HAVE_SAMPLERATE)
endif()
