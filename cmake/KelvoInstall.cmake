# cmake --install BUILD --prefix P: the library, the headers, the CMake
# package (kelvo::kelvo), kelvo.pc, the tools and the manual pages (the
# library's and each installed tool's); on Windows
# KelvoDLL.dll, both import libraries and the import definitions.
include(CMakePackageConfigHelpers)

set(KELVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelvo)

install(TARGETS kelvo_lib EXPORT kelvoTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/library/include/kelvo.h ${PROJECT_SOURCE_DIR}/library/include/kelvo_models.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kelvoTargets NAMESPACE kelvo:: DESTINATION ${KELVO_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kelvoConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/kelvoConfig.cmake
                              INSTALL_DESTINATION ${KELVO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kelvoConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kelvoConfig.cmake ${PROJECT_BINARY_DIR}/kelvoConfigVersion.cmake
        DESTINATION ${KELVO_CMAKE_DIR})

# kelvo.pc finds the prefix from its own place, so that it stays right under
# any --prefix given at install time.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KELVO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH KELVO_PC_UP /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  string(REGEX REPLACE "/$" "" KELVO_PC_UP "${KELVO_PC_UP}")
  set(KELVO_PC_PREFIX "\${pcfiledir}/${KELVO_PC_UP}")
endif()
if(WIN32)
  set(KELVO_PC_LIBNAME KelvoDLL)
else()
  set(KELVO_PC_LIBNAME kelvo)
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/kelvo.pc.in ${PROJECT_BINARY_DIR}/kelvo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kelvo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(WIN32)
  install(FILES ${PROJECT_BINARY_DIR}/KelvoDLL.lib DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_BINARY_DIR}/KelvoDLL-import.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
          RENAME KelvoDLL.def)
  return()
endif()

foreach(tool kelvo_cli kelvo_sim kelvo_gateway)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The library's pages, and each tool's page with the tool.
if(TARGET kelvo_man)
  install(DIRECTORY ${KELVO_MAN_DIR}/man3 ${KELVO_MAN_DIR}/man7 DESTINATION ${CMAKE_INSTALL_MANDIR}
          FILES_MATCHING PATTERN "*.[37]")
  foreach(page kelvo_cli:man1/kelvo.1 kelvo_sim:man1/kelvo-sim.1 kelvo_gateway:man8/kelvo-gateway.8)
    string(REPLACE ":" ";" page "${page}")
    list(GET page 0 tool)
    list(GET page 1 file)
    if(TARGET ${tool})
      get_filename_component(section ${file} DIRECTORY)
      install(FILES ${KELVO_MAN_DIR}/${file} DESTINATION ${CMAKE_INSTALL_MANDIR}/${section})
    endif()
  endforeach()
endif()
