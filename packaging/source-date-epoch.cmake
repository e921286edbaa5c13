# SPDX-License-Identifier: MIT
# The one time stamp of every file in a package or release archive, so that
# two builds of one commit give the same bytes: $SOURCE_DATE_EPOCH where the
# caller set it; else the time of the last commit, where the source folder is
# the top of its own git work tree (not a tarball unpacked inside another
# repository); else midnight of the release date. git trusts the source folder
# it is pointed at, whoever owns it (a checkout of another user, as in many CI
# containers), so that the time stamp does not depend on who builds.
function(source_date_epoch source release_date out)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        set(${out} "$ENV{SOURCE_DATE_EPOCH}" PARENT_SCOPE)
        return()
    endif()
    set(epoch "")
    file(REAL_PATH "${source}" source)
    set(git git -c "safe.directory=${source}" -C "${source}")
    execute_process(COMMAND ${git} rev-parse --show-toplevel
        OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
    if(NOT failed AND top STREQUAL source)
        execute_process(COMMAND ${git} log -1 --format=%ct
            OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(NOT epoch)
        execute_process(COMMAND date -u -d "${release_date}" +%s
            OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    set(${out} "${epoch}" PARENT_SCOPE)
endfunction()
