# brimvox_warnings: the project's compiler warnings as an interface target. Each of the project's
# targets links it; code of other projects that the build compiles (GoogleTest on Windows) does
# not. Included by the root and by codec/ itself, which other builds use on its own.
include_guard(GLOBAL)

option(BRIMVOX_WERROR "Treat compiler warnings as errors" ON)

if(NOT TARGET brimvox_warnings)
    add_library(brimvox_warnings INTERFACE)
    target_compile_options(brimvox_warnings INTERFACE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
        $<$<BOOL:${BRIMVOX_WERROR}>:-Werror>)
endif()

# Links brimvox_warnings to every target that compiles code, defined in `directory` and the
# directories below it that lie in this source tree.
function(brimvox_warn_targets_in directory)
    get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$")
            get_target_property(linked ${target} LINK_LIBRARIES)
            if(NOT "brimvox_warnings" IN_LIST linked)
                set_property(TARGET ${target} APPEND PROPERTY LINK_LIBRARIES brimvox_warnings)
            endif()
        endif()
    endforeach()
    get_property(children DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
    foreach(child IN LISTS children)
        cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${child}" NORMALIZE inside)
        if(inside)
            brimvox_warn_targets_in(${child})
        endif()
    endforeach()
endfunction()
