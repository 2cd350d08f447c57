# Licence texts for the Acknowledgements window's rows, copied from the Debian copyright files. A row with no
# file here (or a package whose file is missing) shows the window's missing-licence line.
set(CORVANE_ACK_DIR ${CMAKE_BINARY_DIR}/share/corvane/Acknowledgements)
set(CORVANE_ACK_FILES
  "ENet-LICENSE.txt|libenet7" "libopus-LICENSE.txt|libopus0" "box/ENet-LICENSE.txt|libenet7"
  "box/libopus-LICENSE.txt|libopus0")
file(MAKE_DIRECTORY ${CORVANE_ACK_DIR}/box)
foreach(entry IN LISTS CORVANE_ACK_FILES)
  string(REPLACE "|" ";" parts ${entry})
  list(GET parts 0 target_file)
  list(GET parts 1 package)
  set(source /usr/share/doc/${package}/copyright)
  if(EXISTS ${source})
    configure_file(${source} ${CORVANE_ACK_DIR}/${target_file} COPYONLY)
  endif()
endforeach()
install(DIRECTORY ${CORVANE_ACK_DIR} DESTINATION share/corvane)

# Symbols for desktops whose icon theme lacks them, beside the licence texts.
file(GLOB CORVANE_ICONS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/share/corvane/icons/*.svg)
file(COPY ${CORVANE_ICONS} DESTINATION ${CMAKE_BINARY_DIR}/share/corvane/icons)
install(FILES ${CORVANE_ICONS} DESTINATION share/corvane/icons)
