# The check of a release build's deployment settings: each of the relay,
# update and report hosts and the website must be given and must name
# neither loopback nor a placeholder (.invalid). Also runs in script mode
# (cmake -D... -P cmake/deployment.cmake), which the settings test uses.
function(pivaro_check_deployment)
  foreach(setting PIVARO_RELAY_HOST PIVARO_UPDATE_HOST PIVARO_REPORT_HOST PIVARO_WEBSITE_URL)
    set(value "${${setting}}")
    string(TOLOWER "${value}" lower)
    if(lower STREQUAL ""
       OR lower MATCHES "(^|[/@.])(localhost|127\\.[0-9.]+|0\\.0\\.0\\.0|\\[?::1\\]?)(:[0-9]+)?(/|$)"
       OR lower MATCHES "\\.invalid\\.?(:[0-9]+)?(/|$)")
      message(FATAL_ERROR "A release build needs -D${setting}=<the deployment's>; "
                          "'${value}' is missing, loopback or a placeholder.")
    endif()
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  pivaro_check_deployment()
endif()
