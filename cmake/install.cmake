# Installing the monitor.
#
# The monitor keeps its settings file next to its executable (<prefix>/bin/impulz.ini), so the operator who runs
# it must own the folder it is installed in. Install it per user:
#
#     cmake --install build --prefix ~/.local/opt/impulz
#
# This puts the executable into ~/.local/opt/impulz/bin, the launcher into .../share/applications/impulz.desktop
# and the icon into .../share/icons/hicolor/{16x16,32x32}/apps/impulz.png. Desktop menus look for launchers and
# icons under ~/.local/share, so link them there once:
#
#     mkdir -p ~/.local/share/applications
#     ln -sf ~/.local/opt/impulz/share/applications/impulz.desktop ~/.local/share/applications/
#     for s in 16x16 32x32; do
#         mkdir -p ~/.local/share/icons/hicolor/$s/apps
#         ln -sf ~/.local/opt/impulz/share/icons/hicolor/$s/apps/impulz.png ~/.local/share/icons/hicolor/$s/apps/
#     done
#
# The launcher's Exec line holds the absolute path of the installed executable. It is filled in when installing,
# not when configuring, so that a --prefix given to `cmake --install` ends up in it.

include(GNUInstallDirs)


install(TARGETS impulz RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/icons/impulz-16.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/16x16/apps RENAME impulz.png)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/icons/impulz-32.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps RENAME impulz.png)

install(CODE "set(impulz_bindir \"${CMAKE_INSTALL_BINDIR}\")
    set(impulz_datadir \"${CMAKE_INSTALL_DATADIR}\")
    set(impulz_template \"${CMAKE_CURRENT_SOURCE_DIR}/resources/impulz.desktop\")")
install(CODE [=[
    if(IS_ABSOLUTE "${impulz_bindir}")
        set(IMPULZ_EXEC "${impulz_bindir}/impulz")
    else()
        set(IMPULZ_EXEC "${CMAKE_INSTALL_PREFIX}/${impulz_bindir}/impulz")
    endif()
    # A path with blanks or other reserved characters goes in double quotes. Inside them \ " ` $ take a backslash,
    # and the desktop file's string escaping then doubles every backslash; % is doubled in any case.
    if(IMPULZ_EXEC MATCHES "[^A-Za-z0-9/._+-]")
        string(REPLACE "\\" "\\\\\\\\" IMPULZ_EXEC "${IMPULZ_EXEC}")
        string(REPLACE "\"" "\\\\\"" IMPULZ_EXEC "${IMPULZ_EXEC}")
        string(REPLACE "`" "\\\\`" IMPULZ_EXEC "${IMPULZ_EXEC}")
        string(REPLACE "$" "\\\\$" IMPULZ_EXEC "${IMPULZ_EXEC}")
        string(REPLACE "%" "%%" IMPULZ_EXEC "${IMPULZ_EXEC}")
        set(IMPULZ_EXEC "\"${IMPULZ_EXEC}\"")
    endif()
    file(READ "${impulz_template}" impulz_desktop)
    string(CONFIGURE "${impulz_desktop}" impulz_desktop @ONLY)
    set(impulz_applications "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${impulz_datadir}/applications")
    file(MAKE_DIRECTORY "${impulz_applications}")
    message(STATUS "Installing: ${impulz_applications}/impulz.desktop")
    file(WRITE "${impulz_applications}/impulz.desktop" "${impulz_desktop}")
]=])
