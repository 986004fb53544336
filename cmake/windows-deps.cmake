# Paho MQTT C and libqrencode for the MinGW build, which no Debian package
# provides: built from source as static libraries, at the same releases as
# Debian's packages so that both builds run the same client and encoder.
# Where the pinned archives sit beside the repository (PIVARO_THIRD_PARTY_DIR)
# they are used as they are, checked against their SHA-256, and nothing is
# downloaded; otherwise the upstream tags are fetched. A folder given in
# FETCHCONTENT_SOURCE_DIR_PAHO_MQTT_C or FETCHCONTENT_SOURCE_DIR_LIBQRENCODE
# takes the place of either.
#
# Defines the targets pivaro::paho_mqtt3a and pivaro::qrencode.
include(FetchContent)

# Beside a clone, or beside the folder of a clone's worktrees, unless
# given (-DPIVARO_THIRD_PARTY_DIR=..., or the environment variable of that
# name for a clone made elsewhere).
if(NOT PIVARO_THIRD_PARTY_DIR AND DEFINED ENV{PIVARO_THIRD_PARTY_DIR})
  set(PIVARO_THIRD_PARTY_DIR "$ENV{PIVARO_THIRD_PARTY_DIR}" CACHE PATH
      "Folder of the pinned dependency archives")
endif()
if(NOT PIVARO_THIRD_PARTY_DIR)
  set(third_party "${CMAKE_SOURCE_DIR}/../shared/third_party")
  if(NOT EXISTS "${third_party}" AND EXISTS "${CMAKE_SOURCE_DIR}/../../shared/third_party")
    set(third_party "${CMAKE_SOURCE_DIR}/../../shared/third_party")
  endif()
  set(PIVARO_THIRD_PARTY_DIR "${third_party}" CACHE PATH
      "Folder of the pinned dependency archives")
endif()

set(PIVARO_PAHO_ARCHIVE "${PIVARO_THIRD_PARTY_DIR}/paho.mqtt.c-1.3.12.tar.gz")
set(PIVARO_QRENCODE_ARCHIVE "${PIVARO_THIRD_PARTY_DIR}/libqrencode-4.1.1.tar.gz")

# Without the archives the upstream tags are fetched; where that cannot
# be done either (a machine without the archives and without a network),
# the Windows program is built without the relay and the QR encoder, as it
# was before they could be built here, instead of failing to configure.
foreach(dep PAHO|PIVARO_WITH_MQTT|https://github.com/eclipse/paho.mqtt.c.git
            QRENCODE|PIVARO_WITH_QRENCODE|https://github.com/fukuchi/libqrencode.git)
  string(REPLACE "|" ";" parts "${dep}")
  list(GET parts 0 name)
  list(GET parts 1 switch)
  list(GET parts 2 repository)
  if(${switch} AND NOT EXISTS "${PIVARO_${name}_ARCHIVE}")
    execute_process(COMMAND git ls-remote --tags "${repository}" RESULT_VARIABLE unreachable
                    OUTPUT_QUIET ERROR_QUIET TIMEOUT 20)
    if(unreachable)
      message(WARNING "${PIVARO_${name}_ARCHIVE} is missing and ${repository} cannot be "
                      "reached: building without it (${switch} OFF)")
      set(${switch} OFF)
    endif()
  endif()
endforeach()

if(EXISTS "${PIVARO_PAHO_ARCHIVE}")
  FetchContent_Declare(paho_mqtt_c
    URL "${PIVARO_PAHO_ARCHIVE}"
    URL_HASH SHA256=b73e60fca491a6220611c30eb70f06167e23c74f612a25d6177c90816bf65ff2)
else()
  FetchContent_Declare(paho_mqtt_c
    GIT_REPOSITORY https://github.com/eclipse/paho.mqtt.c.git
    GIT_TAG v1.3.12
    GIT_SHALLOW TRUE)
endif()

if(EXISTS "${PIVARO_QRENCODE_ARCHIVE}")
  FetchContent_Declare(libqrencode
    URL "${PIVARO_QRENCODE_ARCHIVE}"
    URL_HASH SHA256=09b2b1240557b6dbe42e67e6d1deb4c3b09af86dffe8abda49c392c4282edbaa)
else()
  FetchContent_Declare(libqrencode
    GIT_REPOSITORY https://github.com/fukuchi/libqrencode.git
    GIT_TAG v4.1.1
    GIT_SHALLOW TRUE)
endif()

# Both projects declare their switches as cache entries under an old policy
# that would let the cache default win over a plain variable.
if(PIVARO_WITH_MQTT)
  set(PAHO_BUILD_STATIC TRUE CACHE BOOL "" FORCE)
  set(PAHO_BUILD_SHARED FALSE CACHE BOOL "" FORCE)
  set(PAHO_WITH_SSL FALSE CACHE BOOL "" FORCE)
  set(PAHO_ENABLE_TESTING FALSE CACHE BOOL "" FORCE)
  set(PAHO_ENABLE_CPACK FALSE CACHE BOOL "" FORCE)
  set(PAHO_BUILD_SAMPLES FALSE CACHE BOOL "" FORCE)
  set(PAHO_BUILD_DOCUMENTATION FALSE CACHE BOOL "" FORCE)
  FetchContent_GetProperties(paho_mqtt_c)
  if(NOT paho_mqtt_c_POPULATED)
    FetchContent_Populate(paho_mqtt_c)
    # Out of `all` and out of the packages: only what pivaro links is built.
    add_subdirectory(${paho_mqtt_c_SOURCE_DIR} ${paho_mqtt_c_BINARY_DIR} EXCLUDE_FROM_ALL)
  endif()
  # Paho names Windows' RPC library "RpcRT4", which a case-sensitive
  # file system does not find among MinGW's libraries.
  set_property(TARGET paho-mqtt3a-static PROPERTY INTERFACE_LINK_LIBRARIES ws2_32 crypt32 rpcrt4)
  target_compile_definitions(paho-mqtt3a-static INTERFACE PAHO_MQTT_STATIC=1)
  add_library(pivaro::paho_mqtt3a ALIAS paho-mqtt3a-static)
  set(PIVARO_PAHO_LICENCES ${paho_mqtt_c_SOURCE_DIR}/LICENSE ${paho_mqtt_c_SOURCE_DIR}/epl-v20
                           ${paho_mqtt_c_SOURCE_DIR}/edl-v10 ${paho_mqtt_c_SOURCE_DIR}/notice.html)
endif()

if(PIVARO_WITH_QRENCODE)
  set(WITH_TOOLS NO CACHE BOOL "" FORCE)
  set(WITH_TESTS NO CACHE BOOL "" FORCE)
  set(BUILD_SHARED_LIBS NO CACHE BOOL "" FORCE)
  FetchContent_GetProperties(libqrencode)
  if(NOT libqrencode_POPULATED)
    FetchContent_Populate(libqrencode)
    add_subdirectory(${libqrencode_SOURCE_DIR} ${libqrencode_BINARY_DIR} EXCLUDE_FROM_ALL)
  endif()
  target_include_directories(qrencode INTERFACE $<BUILD_INTERFACE:${libqrencode_SOURCE_DIR}>)
  add_library(pivaro::qrencode ALIAS qrencode)
  set(PIVARO_QRENCODE_LICENCES ${libqrencode_SOURCE_DIR}/COPYING)
endif()
