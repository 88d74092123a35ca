# What a desktop needs besides the programs: the launcher entry, the types of
# the model files it opens, the icon in every size a menu or file manager
# asks for, the software centre's description, and the copyright notice.

install(FILES share/applications/morvex.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES share/mime/packages/morvex.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
install(FILES share/metainfo/com.quellor.morvex.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/morvex)

# The icon is drawn once as SVG; desktops that draw no SVG at a given size
# take the PNG of that size, rendered from it at build time.
set(MORVEX_ICON_SVG ${CMAKE_CURRENT_SOURCE_DIR}/share/icons/hicolor/scalable/apps/morvex.svg)
install(FILES ${MORVEX_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
find_program(MORVEX_RSVG_CONVERT rsvg-convert)
if(NOT MORVEX_RSVG_CONVERT)
  message(FATAL_ERROR "rsvg-convert (Debian librsvg2-bin) is needed to render the icon's PNG sizes")
endif()
set(MORVEX_ICON_PNGS)
foreach(size 16 24 32 48 64 128 256)
  set(folder ${CMAKE_BINARY_DIR}/share/icons/hicolor/${size}x${size}/apps)
  add_custom_command(OUTPUT ${folder}/morvex.png
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${MORVEX_RSVG_CONVERT} --width=${size} --height=${size} --output=${folder}/morvex.png ${MORVEX_ICON_SVG}
    DEPENDS ${MORVEX_ICON_SVG}
    VERBATIM)
  list(APPEND MORVEX_ICON_PNGS ${folder}/morvex.png)
  install(FILES ${folder}/morvex.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(morvex-icons ALL DEPENDS ${MORVEX_ICON_PNGS})
