# SPDX-License-Identifier: MIT
# Run by cpack on the packages it made: each package file 0644, and a Debian
# package's ar members too, whatever the umask of the one who builds, as
# CPack's ar takes each member's mode from the file it wrote. (perl, which
# dpkg-dev needs too, rewrites the members' 8-byte mode fields in place.)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    file(CHMOD ${package} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    if(NOT package MATCHES "\\.deb$")
        continue()
    endif()
    execute_process(COMMAND perl -0777 -pi -e [[
        for (my $at = 8; $at + 60 <= length; ) {
            my $size = substr($_, $at + 48, 10) + 0;
            substr($_, $at + 40, 8) = sprintf("%-8s", "100644");
            $at += 60 + $size + $size % 2;
        }]] ${package}
        COMMAND_ERROR_IS_FATAL ANY)
endforeach()
