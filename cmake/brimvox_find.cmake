# Finding what the build needs from the host system, without naming any distribution's paths:
# an environment variable when one is set, else the standard layout below the system's prefixes
# (CMAKE_SYSTEM_PREFIX_PATH: /usr/local, /usr, ...). Cross builds look on the build machine,
# not in the target's root.
include_guard(GLOBAL)

# Sets `out` to `<prefix>/<suffix>` for each system prefix and each suffix given.
function(brimvox_host_dirs out)
    set(dirs)
    foreach(prefix IN LISTS CMAKE_SYSTEM_PREFIX_PATH)
        foreach(suffix IN LISTS ARGN)
            list(APPEND dirs "${prefix}/${suffix}")
        endforeach()
    endforeach()
    set(${out} ${dirs} PARENT_SCOPE)
endfunction()

# The JDK's jni.h for the Windows builds of the Java library (its jni_md.h comes from
# platform/jni_windows): JAVA_HOME, else the JDK of the javac on the PATH.
function(brimvox_find_jni_header)
    find_program(BRIMVOX_HOST_JAVAC javac HINTS ENV JAVA_HOME PATH_SUFFIXES bin
                 NO_CMAKE_FIND_ROOT_PATH DOC "The build machine's javac, to find its JDK")
    set(hints)
    if(BRIMVOX_HOST_JAVAC)
        file(REAL_PATH "${BRIMVOX_HOST_JAVAC}" javac)
        cmake_path(GET javac PARENT_PATH bin)
        cmake_path(GET bin PARENT_PATH jdk)
        list(APPEND hints "${jdk}/include")
    endif()
    find_path(BRIMVOX_JNI_INCLUDE jni.h HINTS ENV JAVA_HOME ${hints} PATH_SUFFIXES include
              NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH DOC "Directory of jni.h")
    if(NOT BRIMVOX_JNI_INCLUDE)
        message(FATAL_ERROR "jni.h not found: install a JDK, set JAVA_HOME, or set BRIMVOX_JNI_INCLUDE")
    endif()
endfunction()

# Finds the jar `file` (a file name) into the cache variable `var`: JUNIT_HOME, else the
# shared Java jar directory (share/java) below the system's prefixes.
function(brimvox_find_jar var file)
    brimvox_host_dirs(dirs share/java)
    find_file(${var} ${file} HINTS ENV JUNIT_HOME PATHS ${dirs} NO_DEFAULT_PATH
              NO_CMAKE_FIND_ROOT_PATH DOC "${file}")
    if(NOT ${var})
        message(FATAL_ERROR "${file} not found: install JUnit 5, set JUNIT_HOME, or set ${var}")
    endif()
endfunction()
