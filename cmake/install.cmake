# The installed layout beside what net/icmp installs (module and helper in lib/sabrevin/):
#   bin/sabrevin
#   share/applications/sabrevin.desktop
#   share/icons/hicolor/{32x32,64x64,128x128}/apps/sabrevin.png, .../scalable/apps/sabrevin.svg
#   share/metainfo/example.varnstead.sabrevin.metainfo.xml   (AppStream)
#   share/man/man1/sabrevin.1.gz
# and, last, an attempt to give the installed helper cap_net_raw (component "capability",
# which the Debian package leaves to its postinst). Include this file from the top-level
# CMakeLists.txt after add_subdirectory(net) and add_subdirectory(app), so that its rules run
# after the helper is installed.

set(SABREVIN_DESKTOP_DIR ${CMAKE_BINARY_DIR}/desktop)
set(SABREVIN_METAINFO_ID example.varnstead.sabrevin)

install(TARGETS sabrevin RUNTIME DESTINATION bin)

# The desktop entry; the program's version comes from project().
configure_file(${PROJECT_SOURCE_DIR}/res/sabrevin.desktop.in ${SABREVIN_DESKTOP_DIR}/sabrevin.desktop
               @ONLY)
install(FILES ${SABREVIN_DESKTOP_DIR}/sabrevin.desktop DESTINATION share/applications)

# The icon, drawn by scripts/draw-images.py from the same design as the window's 32x32 one.
foreach(size 32 64 128)
    install(FILES ${PROJECT_SOURCE_DIR}/res/icons/sabrevin-${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME sabrevin.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/res/icons/sabrevin.svg DESTINATION share/icons/hicolor/scalable/apps)

# The release of the AppStream metadata: the version from project(), the date from the top
# entry of packaging/changelog, which must be this version's.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog _sabrevin_changelog)
list(GET _sabrevin_changelog 0 _sabrevin_top)
if(NOT _sabrevin_top MATCHES "^sabrevin \\(${PROJECT_VERSION}-[0-9]+\\) ")
    message(WARNING "packaging/changelog: the top entry (${_sabrevin_top}) is not version "
                    "${PROJECT_VERSION}; add one for this version")
endif()
set(SABREVIN_RELEASE_DATE "")
foreach(_line IN LISTS _sabrevin_changelog)
    if(_line MATCHES "^ -- .*  [A-Za-z]+, ([0-9]+) ([A-Za-z]+) ([0-9]+) ")
        set(_day ${CMAKE_MATCH_1})
        set(_year ${CMAKE_MATCH_3})
        set(_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
        list(FIND _months ${CMAKE_MATCH_2} _month)
        math(EXPR _month "${_month} + 1")
        string(LENGTH "${_day}" _len)
        if(_len EQUAL 1)
            set(_day 0${_day})
        endif()
        if(_month LESS 10)
            set(_month 0${_month})
        endif()
        set(SABREVIN_RELEASE_DATE ${_year}-${_month}-${_day})
        break()
    endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/res/sabrevin.metainfo.xml.in
               ${SABREVIN_DESKTOP_DIR}/${SABREVIN_METAINFO_ID}.metainfo.xml @ONLY)
install(FILES ${SABREVIN_DESKTOP_DIR}/${SABREVIN_METAINFO_ID}.metainfo.xml DESTINATION share/metainfo)

# The manual page, compressed without a time stamp so that the same page gives the same bytes.
find_program(SABREVIN_GZIP gzip REQUIRED)
set(SABREVIN_MANPAGE ${SABREVIN_DESKTOP_DIR}/sabrevin.1.gz)
add_custom_command(OUTPUT ${SABREVIN_MANPAGE}
    COMMAND ${SABREVIN_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/docs/sabrevin.1 > ${SABREVIN_MANPAGE}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/sabrevin.1
    COMMENT "Compressing the manual page sabrevin.1")
add_custom_target(sabrevin_manpage ALL DEPENDS ${SABREVIN_MANPAGE})
install(FILES ${SABREVIN_MANPAGE} DESTINATION share/man/man1)

# The helper's one privilege. Never fails the install; says in one line what happened.
install(CODE [[
    set(_helper "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/sabrevin/sabrevin-icmp-helper")
    set(_how "Ping and Trace then need ping sockets (net.ipv4.ping_group_range, see README)")
    execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    find_program(_setcap setcap PATHS /usr/sbin /sbin NO_CACHE)
    if(NOT EXISTS "${_helper}")
        message(STATUS "Capability: not set, ${_helper} is not installed")
    elseif(NOT _uid STREQUAL "0")
        message(STATUS "Capability: not set on ${_helper}: not root "
                       "(as root: setcap cap_net_raw+ep ${_helper}); ${_how}")
    elseif(NOT _setcap)
        message(STATUS "Capability: not set on ${_helper}: no setcap program "
                       "(Debian package libcap2-bin); ${_how}")
    else()
        execute_process(COMMAND "${_setcap}" cap_net_raw+ep "${_helper}"
                        RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
        string(STRIP "${_out}" _out)
        string(REPLACE "\n" " " _out "${_out}")
        if(NOT _rc EQUAL 0)
            message(STATUS "Capability: not set on ${_helper}: the filesystem refused "
                           "(${_out}); ${_how}")
        else()
            # A nosuid mount keeps the attribute but ignores it when the helper runs.
            execute_process(COMMAND findmnt -n -o OPTIONS -T "${_helper}"
                            OUTPUT_VARIABLE _opts RESULT_VARIABLE _frc ERROR_QUIET)
            if(_frc EQUAL 0 AND _opts MATCHES "(^|,)nosuid(,|$|\n)")
                message(STATUS "Capability: cap_net_raw+ep set on ${_helper}, but its "
                               "filesystem is mounted nosuid, which ignores it; ${_how}")
            else()
                message(STATUS "Capability: cap_net_raw+ep set on ${_helper}")
            endif()
        endif()
    endif()
]] COMPONENT capability)
