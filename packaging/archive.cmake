# SPDX-License-Identifier: MIT
# A release archive, NAME.tar.gz in the build folder: what a plain install
# of the build lays out (the programs stripped), with LICENSE beside the other
# documents in DOC, all in the folder NAME; or, given FILES, those files and
# LICENSE in the folder TOP.
# The same bytes from every build of a commit: members sorted, owned by root,
# modes 0755 or 0644 whatever the umask, one time stamp, gzip -n.
#   cmake -D SOURCE=DIR -D BUILD=DIR -D NAME=corehop-VERSION-linux-ARCH
#         -D DOC=share/doc/corehop -D RELEASE_DATE=YYYY-MM-DD -P packaging/archive.cmake
#   cmake -D SOURCE=DIR -D BUILD=DIR -D NAME=NAME -D FILES="FILE;..." -D TOP=FOLDER
#         -D RELEASE_DATE=YYYY-MM-DD -P packaging/archive.cmake
# (the build's "archive" and "lava-archive" targets run it)
include(${CMAKE_CURRENT_LIST_DIR}/source-date-epoch.cmake)

set(stage ${BUILD}/archive)
file(REMOVE_RECURSE ${stage})
if(FILES)
    file(COPY ${FILES} ${SOURCE}/LICENSE DESTINATION ${stage}/${TOP})
else()
    set(TOP ${NAME})
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${stage}/${NAME}
        --component programs --strip OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(COPY ${SOURCE}/LICENSE DESTINATION ${stage}/${NAME}/${DOC})
endif()
source_date_epoch(${SOURCE} ${RELEASE_DATE} epoch)
execute_process(
    COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@${epoch}
        --mode=u+rwX,go+rX,go-w --format=gnu -C ${stage} -cf - ${TOP}
    COMMAND gzip -9n
    OUTPUT_FILE ${BUILD}/${NAME}.tar.gz COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${stage})
