# The installed layout beside what net/icmp installs (module and helper in lib/sabrevin/):
#   bin/sabrevin
#   share/applications/sabrevin.desktop
#   share/icons/hicolor/32x32/apps/sabrevin.png   (made at build time from the XPM)
#   share/pixmaps/sabrevin.xpm
# and, last, an attempt to give the installed helper cap_net_raw. Include this file from the
# top-level CMakeLists.txt after add_subdirectory(net) and add_subdirectory(app), so that its
# rules run after the helper is installed.

set(SABREVIN_DESKTOP_DIR ${CMAKE_BINARY_DIR}/desktop)
set(SABREVIN_ICON_XPM ${PROJECT_SOURCE_DIR}/res/images/mainframe.xpm)
set(SABREVIN_ICON_PNG ${SABREVIN_DESKTOP_DIR}/sabrevin.png)

install(TARGETS sabrevin RUNTIME DESTINATION bin)

# The desktop entry; the program's version comes from project().
configure_file(${PROJECT_SOURCE_DIR}/res/sabrevin.desktop.in ${SABREVIN_DESKTOP_DIR}/sabrevin.desktop
               @ONLY)
install(FILES ${SABREVIN_DESKTOP_DIR}/sabrevin.desktop DESTINATION share/applications)

# The icon theme wants a PNG; the picture is an XPM. A few lines of Qt turn one into the other
# (QImage reads and writes both without a display or any plugin).
file(CONFIGURE OUTPUT ${SABREVIN_DESKTOP_DIR}/xpm_to_png.cpp CONTENT [[
// Made by cmake/install.cmake: reads the XPM file argv[1], writes it as the PNG file argv[2].
#include <QImage>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IN.xpm OUT.png\n", argv[0]);
        return 2;
    }
    const QImage image(QString::fromLocal8Bit(argv[1]), "XPM");
    if (image.isNull()) {
        std::fprintf(stderr, "%s: cannot read %s as XPM\n", argv[0], argv[1]);
        return 1;
    }
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
        return 1;
    }
    return 0;
}
]])
add_executable(sabrevin_xpm_to_png ${SABREVIN_DESKTOP_DIR}/xpm_to_png.cpp)
target_link_libraries(sabrevin_xpm_to_png PRIVATE Qt6::Gui)
set_target_properties(sabrevin_xpm_to_png PROPERTIES AUTOMOC OFF
                      RUNTIME_OUTPUT_DIRECTORY ${SABREVIN_DESKTOP_DIR})
add_custom_command(OUTPUT ${SABREVIN_ICON_PNG}
    COMMAND sabrevin_xpm_to_png ${SABREVIN_ICON_XPM} ${SABREVIN_ICON_PNG}
    DEPENDS sabrevin_xpm_to_png ${SABREVIN_ICON_XPM}
    COMMENT "Converting mainframe.xpm to sabrevin.png"
    VERBATIM)
add_custom_target(sabrevin_icon ALL DEPENDS ${SABREVIN_ICON_PNG})
install(FILES ${SABREVIN_ICON_PNG} DESTINATION share/icons/hicolor/32x32/apps)
install(FILES ${SABREVIN_ICON_XPM} DESTINATION share/pixmaps RENAME sabrevin.xpm)

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
]])
