# Packages (`cmake --build --preset <preset> --target package`): on Windows
# a .zip of pivaro.exe with the notices of the libraries built into it; on
# Linux a .deb of pivaro and pivaro-phone whose dependencies dpkg-shlibdeps
# reads from the binaries, so they name Debian's runtime packages. Only the
# `pivaro` component is packed: the install rules that Paho and libqrencode
# bring along stay out.
if(WIN32)
  if(TARGET pivaro)
    install(TARGETS pivaro RUNTIME DESTINATION . COMPONENT pivaro)
  endif()
  if(PIVARO_PAHO_LICENCES)
    install(FILES ${PIVARO_PAHO_LICENCES} DESTINATION licences/paho.mqtt.c COMPONENT pivaro)
  endif()
  if(PIVARO_QRENCODE_LICENCES)
    install(FILES ${PIVARO_QRENCODE_LICENCES} DESTINATION licences/libqrencode COMPONENT pivaro)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_SYSTEM_NAME win64)
else()
  foreach(program pivaro pivaro-phone)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION bin COMPONENT pivaro)
    endif()
  endforeach()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Pivaro developers <pivaro@localhost>")
endif()
set(CPACK_PACKAGE_NAME pivaro)
set(CPACK_PACKAGE_VENDOR Pivaro)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Drives a slide show from a phone")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_COMPONENTS_ALL pivaro)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGE_FILE_NAME pivaro-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME})
# Included last: Paho's own CMake file includes CPack too, and the last
# inclusion writes the configuration that `package` uses.
include(CPack)
