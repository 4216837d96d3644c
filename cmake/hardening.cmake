# Debian's hardening flags: the ones dpkg-buildflags gives (fortified string and memory functions, the stack
# protector, read-only relocations and immediate binding), so the package's programs are built the way a Debian
# package's are, whoever builds them; and stack clash protection and control-flow protection (shadow stack and
# indirect branch tracking on CPUs that have them), which later dpkg releases add, wherever the compiler has them. Only the hardening flags are taken: the optimisation and debug flags stay the
# build type's. DEB_BUILD_MAINT_OPTIONS set by a packager is honoured; without it every hardening feature is on.
# Sanitized builds skip this (the sanitizers replace the checked functions themselves).
option(IMPULZ_HARDEN "Build with the distribution's hardening flags (fortify, stack protector, relro, bind-now)" ON)
if(NOT IMPULZ_HARDEN)
    return()
endif()

find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(DPKG_BUILDFLAGS)
    set(impulz_maint_options "$ENV{DEB_BUILD_MAINT_OPTIONS}")
    if(impulz_maint_options STREQUAL "")
        set(impulz_maint_options "hardening=+all")
    endif()
    set(impulz_hardening_flags)
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
        execute_process(COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=${impulz_maint_options}"
                                ${DPKG_BUILDFLAGS} --get ${kind}
                        OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
        if(NOT failed)
            separate_arguments(flags UNIX_COMMAND "${flags}")
            list(APPEND impulz_hardening_flags ${flags})
        endif()
    endforeach()
else()
    # Elsewhere the same set as Debian 12's.
    set(impulz_hardening_flags -D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat -Werror=format-security
                               -Wl,-z,relro -Wl,-z,now)
endif()

# Unless the packager turned them off: stack clash protection (probes every page of a large stack frame, so a
# frame never jumps over the guard page) and control-flow protection (end-branch markers and shadow-stack notes).
include(CheckCXXCompilerFlag)
foreach(feature_flag stackclash:-fstack-clash-protection branch:-fcf-protection)
    string(REPLACE ":" ";" feature_flag "${feature_flag}")
    list(GET feature_flag 0 feature)
    list(GET feature_flag 1 flag)
    string(MAKE_C_IDENTIFIER "IMPULZ_HAS${flag}" has_flag)
    if(NOT "$ENV{DEB_BUILD_MAINT_OPTIONS}" MATCHES "hardening=[^ ]*-(${feature}|all)" AND NOT flag IN_LIST
                                                                                          impulz_hardening_flags)
        check_cxx_compiler_flag(${flag} ${has_flag})
        if(${has_flag})
            list(APPEND impulz_hardening_flags ${flag})
        endif()
    endif()
endforeach()

set(impulz_hardening_used)
foreach(flag IN LISTS impulz_hardening_flags)
    if(flag MATCHES "^-D_FORTIFY_SOURCE=|^-f(stack-protector|stack-clash-protection|cf-protection)|^-Wformat|^-Werror=format|^-Wl,-z,")
        list(APPEND impulz_hardening_used ${flag})
    endif()
    if(flag MATCHES "^-D_FORTIFY_SOURCE=")
        # Fortification needs the optimiser; without it glibc warns on every file, and warnings may be errors.
        add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:${flag}>)
    elseif(flag MATCHES "^-f(stack-protector|stack-clash-protection|cf-protection)|^-Wformat|^-Werror=format")
        add_compile_options(${flag})
    elseif(flag MATCHES "^-Wl,-z,")
        add_link_options(${flag})
    endif()
endforeach()
list(JOIN impulz_hardening_used " " impulz_hardening_used)
message(STATUS "Hardening flags: ${impulz_hardening_used}")
