# SPDX-License-Identifier: MIT
# How the programs are linked, and the hardening that Debian builds with
# (dpkg-buildflags with hardening=+all): fortified C library calls, stack
# protector, stack-clash and control-flow protection where the compiler takes
# them (the linker drops the CET marking on x86, for Debian 12's startup files
# and static C library carry none), position-independent programs, and
# relocations read-only and bound at start. Static programs are
# position-dependent, as a distribution's are: a static-pie relocates the
# whole C library at every start.
include(CheckCXXCompilerFlag)

if(COREHOP_HARDEN)
    target_compile_definitions(tool_flags INTERFACE _FORTIFY_SOURCE=2)
    target_compile_options(tool_flags INTERFACE -fstack-protector-strong)
    foreach(flag -fstack-clash-protection -fcf-protection)
        string(MAKE_C_IDENTIFIER "have${flag}" have)
        check_cxx_compiler_flag(${flag} ${have})
        if(${have})
            target_compile_options(tool_flags INTERFACE ${flag})
        endif()
    endforeach()
    target_link_options(tool_flags INTERFACE -Wl,-z,relro -Wl,-z,now)
endif()

if(COREHOP_STATIC)
    target_link_options(tool_flags INTERFACE -static)
elseif(COREHOP_HARDEN)
    target_compile_options(tool_flags INTERFACE -fPIE)
    target_link_options(tool_flags INTERFACE -pie)
endif()
