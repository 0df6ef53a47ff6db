# The Windows download: kivonet.exe, kivonet-config.exe and README.txt (CR LF line ends) in
# kivonet-<version>-win64.zip in the build folder. Built with every build of the folder.
set(_stage ${CMAKE_BINARY_DIR}/zip/kivonet-${PROJECT_VERSION}-win64)
set(_zip ${CMAKE_BINARY_DIR}/kivonet-${PROJECT_VERSION}-win64.zip)
configure_file(${CMAKE_SOURCE_DIR}/docs/windows-readme.txt ${_stage}/README.txt NEWLINE_STYLE CRLF)
add_custom_command(OUTPUT ${_zip}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kivonet> $<TARGET_FILE:kivonet-config> ${_stage}
  # The download carries no debug information (the build folder's programs keep theirs).
  COMMAND ${CMAKE_STRIP} ${_stage}/kivonet.exe ${_stage}/kivonet-config.exe
  # Both programs also sit at the top of the build folder, next to the zip.
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:kivonet-config> ${CMAKE_BINARY_DIR}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${_zip}
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/zip
          ${CMAKE_COMMAND} -E tar cf ${_zip} --format=zip kivonet-${PROJECT_VERSION}-win64
  DEPENDS kivonet kivonet-config ${_stage}/README.txt
  COMMENT "Packing kivonet-${PROJECT_VERSION}-win64.zip")
add_custom_target(windows_zip ALL DEPENDS ${_zip})
