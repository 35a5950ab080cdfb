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

# Desktop entry, icon and the polkit action of the privileged runner. The entry's Exec line and the
# action's program are absolute, so both are written at install time, when the prefix is known
# (`cmake --install --prefix P` sets it then). polkit reads actions only from
# /usr/share/polkit-1/actions: an install under another prefix carries the file for a packager to
# place there; without it every privileged start asks with the default rules.
set(GELMORA_DESKTOP_IN ${CMAKE_CURRENT_SOURCE_DIR}/resources/install/cn.gelmoras.Gelmoras2.desktop.in)
set(GELMORA_POLICY_IN ${CMAKE_CURRENT_SOURCE_DIR}/resources/install/cn.gelmoras.Gelmoras2.policy.in)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/logo.png
        DESTINATION share/icons/hicolor/128x128/apps RENAME cn.gelmoras.Gelmoras2.png)
install(CODE "set(GELMORA_DESKTOP_IN \"${GELMORA_DESKTOP_IN}\")
set(GELMORA_POLICY_IN \"${GELMORA_POLICY_IN}\")
set(GELMORA_INSTALL_GEN \"${CMAKE_CURRENT_BINARY_DIR}/install-generated\")")
install(CODE [[
  set(EXEC "${CMAKE_INSTALL_PREFIX}/bin/gelmora")
  set(RUNNER "${CMAKE_INSTALL_PREFIX}/libexec/gelmora/gelmora-auth-runner")
  if(EXEC MATCHES "[ \t\"'\\`$%<>&]")
    message(FATAL_ERROR "install prefix '${CMAKE_INSTALL_PREFIX}' cannot be written in a desktop entry's Exec line")
  endif()
  configure_file("${GELMORA_DESKTOP_IN}" "${GELMORA_INSTALL_GEN}/cn.gelmoras.Gelmoras2.desktop" @ONLY)
  configure_file("${GELMORA_POLICY_IN}" "${GELMORA_INSTALL_GEN}/cn.gelmoras.Gelmoras2.policy" @ONLY)
  file(INSTALL "${GELMORA_INSTALL_GEN}/cn.gelmoras.Gelmoras2.desktop"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL "${GELMORA_INSTALL_GEN}/cn.gelmoras.Gelmoras2.policy"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/share/polkit-1/actions"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
]])
