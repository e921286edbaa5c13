# SPDX-License-Identifier: MIT
# The Debian and RPM packages, made by cpack -G DEB or -G RPM in the build
# folder. Each carries what a plain install puts in place (the "programs"
# component) and its own documents: the copyright file and changelog that
# Debian wants, the licence and changelog that RPM-based systems want.

set(doc ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})

# The changelog, compressed reproducibly.
add_custom_command(OUTPUT changelog.gz
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > changelog.gz
    DEPENDS packaging/changelog)
add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)

# Debian's machine-readable copyright file, with the licence's own text.
file(READ LICENSE licence)
string(REGEX REPLACE "^.*\nCopyright \\(c\\) ([^\n]*)\n\n" "" terms "${licence}")
string(REGEX REPLACE "\n$" "" terms "${terms}")
string(REGEX REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REGEX REPLACE "\n" "\n " terms "${terms}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${licence}")
file(WRITE ${PROJECT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}

Files: *
Copyright: ${CMAKE_MATCH_1}
License: Expat
 ${terms}
")

install(FILES ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${doc} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${doc} COMPONENT rpm EXCLUDE_FROM_ALL)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/licenses/${PROJECT_NAME}
        COMPONENT rpm EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_CONTACT "corehop developers <dev@corehop.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "corehop moves a task onto one CPU and verifies the kernel's view of
its affinity; corenest parks a task on one CPU until a signal ends it;
corehop-sweep checks with both that every CPU a task may use takes a
parked task and that every other refuses, and reports in KTAP.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/package-config.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/folder-modes.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/package-modes.cmake)
configure_file(packaging/package-config.cmake.in package-config.cmake @ONLY)

# The architecture labels of the packages and the release archive: those of
# the target that the compiler itself reports, which differs from the build
# machine's in a cross build; packaging/targets has them.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
    OUTPUT_VARIABLE target OUTPUT_STRIP_TRAILING_WHITESPACE)
# (as Debian names it: without a vendor, such as clang's x86_64-pc-linux-gnu,
# and the 32-bit x86 family as i686)
string(REGEX REPLACE "^([^-]+)-(pc|unknown)-" "\\1-" target "${target}")
string(REGEX REPLACE "^i[3-6]86-" "i686-" target "${target}")
file(STRINGS packaging/targets rows REGEX "^[^#]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS packaging/targets)
foreach(row IN LISTS rows)
    string(REPLACE "|" ";" row "${row}")
    list(GET row 1 triple)
    if(target STREQUAL triple)
        list(GET row 0 CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
        list(GET row 2 CPACK_RPM_PACKAGE_ARCHITECTURE)
    endif()
endforeach()
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(WARNING "packaging/targets has no row for the target ${target}; set "
        "CPACK_DEBIAN_PACKAGE_ARCHITECTURE and CPACK_RPM_PACKAGE_ARCHITECTURE.")
endif()

set(CPACK_PACKAGE_VENDOR "the corehop developers")
set(CPACK_PACKAGE_RELOCATABLE OFF)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The bash completion works where bash-completion loads it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
# Static programs need no library.
if(COREHOP_STATIC)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Development/Tools")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# The packager; no build-id links: the same files as the Debian package; the
# same bytes from every build of a commit: the build time and every file's
# time the one time stamp, and no build host. (CPack has no variable for a
# weak dependency but Suggests; the preamble that rpmbuild reads takes
# Recommends here.)
string(JOIN "\n" CPACK_RPM_SPEC_MORE_DEFINE
    "Recommends: bash-completion"
    "%define packager ${CPACK_PACKAGE_CONTACT}"
    "%define _build_id_links none"
    "%define use_source_date_epoch_as_buildtime 1"
    "%define clamp_mtime_to_source_date_epoch 1"
    "%define _buildhost reproducible")
# Folders that the system owns, not the package.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1 /usr/share/bash-completion
    /usr/share/bash-completion/completions /usr/share/licenses)

include(CPack)

# The LAVA test definition of lava/, as a lab fetches it (from: url), in
# corehop-lava-VERSION.tar.gz: its files in the folder corehop-sweep.
set(lava_files corehop-sweep.yaml corehop-sweep.sh README.md)
list(TRANSFORM lava_files PREPEND ${PROJECT_SOURCE_DIR}/lava/)
add_custom_target(lava-archive
    COMMAND ${CMAKE_COMMAND} -D SOURCE=${PROJECT_SOURCE_DIR} -D BUILD=${PROJECT_BINARY_DIR}
        -D NAME=${PROJECT_NAME}-lava-${PROJECT_VERSION} "-D FILES=${lava_files}" -D TOP=corehop-sweep
        -D RELEASE_DATE=${COREHOP_RELEASE_DATE}
        -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging/archive.cmake
    BYPRODUCTS ${PROJECT_NAME}-lava-${PROJECT_VERSION}.tar.gz
    COMMENT "Packing ${PROJECT_NAME}-lava-${PROJECT_VERSION}.tar.gz"
    VERBATIM)

# The release archive of a static build: cmake --build BUILD --target archive.
# A dynamic build's programs need its C library, so it makes none.
if(NOT COREHOP_STATIC)
    add_custom_target(archive
        COMMAND ${CMAKE_COMMAND} -E echo "a release archive holds static programs: configure with -DCOREHOP_STATIC=ON, or run packaging/release.sh"
        COMMAND ${CMAKE_COMMAND} -E false
        VERBATIM)
    return()
endif()
set(archive_arch ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
if(NOT archive_arch)
    string(REGEX MATCH "^[^-]+" archive_arch "${target}")
endif()
set(COREHOP_ARCHIVE ${PROJECT_NAME}-${PROJECT_VERSION}-linux-${archive_arch})
add_custom_target(archive
    COMMAND ${CMAKE_COMMAND} -D SOURCE=${PROJECT_SOURCE_DIR} -D BUILD=${PROJECT_BINARY_DIR}
        -D NAME=${COREHOP_ARCHIVE} -D DOC=${CMAKE_INSTALL_DOCDIR}
        -D RELEASE_DATE=${COREHOP_RELEASE_DATE}
        -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging/archive.cmake
    BYPRODUCTS ${COREHOP_ARCHIVE}.tar.gz
    COMMENT "Packing ${COREHOP_ARCHIVE}.tar.gz"
    VERBATIM)
add_dependencies(archive corehop corenest corehop-sweep man_pages)
