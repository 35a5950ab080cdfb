# Installed layout of the application (see ProgramEntry.h):
#   bin/gelmora
#   libexec/gelmora/{zandrel,tamseld,tamselstat,galvent-tunnel,gelmora-auth-runner}
#   share/gelmora/{area_isp.txt,logo.png}
# The tools install from their own folders; the program entry makes them root-owned at the first
# start. Included by gelmora's CMakeLists.txt (cmake/*.cmake).
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/area_isp.txt
              ${CMAKE_CURRENT_SOURCE_DIR}/resources/logo.png
        DESTINATION share/gelmora)

# The executable is defined by a later part of this folder's build; install it once all are read.
function(gelmora_install_executable)
  if(TARGET gelmora)
    install(TARGETS gelmora DESTINATION bin)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} CALL gelmora_install_executable)
