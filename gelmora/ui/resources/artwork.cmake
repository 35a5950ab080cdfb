# The application's images: our own artwork, drawn by gelmora_artwork at build time and put into
# the resources as :/images/<name>.png. A screen that needs a new image adds its name here and
# its drawing to gelmora/ui/resources/artwork.cpp.
set(GELMORA_IMAGES
    ic_error ic_logo
    ic_close ic_close_highlighted ic_exit ic_exit_highlighted
    ic_accelerate ic_accelerate_highlighted topup topup_highlighted ic_more ic_more_highlighted
    ic_status ic_status_disconnected ic_status_busy
    ic_accelerate_normal ic_top_kefu ic_top_share ic_top_set ic_hot_rec ic_location
    ic_line_selected ic_line_normal ic_line_arrow_left ic_line_arrow_top ic_line_change
    ic_node_country_all)
# The login screens.
list(APPEND GELMORA_IMAGES
     ic_email ic_data ic_login_left_bg ic_logo_light
     ic_login_wc ic_login_qq ic_login_facebook ic_login_ins ic_login_gg ic_login_tt
     ic_login_sina ic_login_line ic_login_kakao)
# The phone forms and binding panels.
list(APPEND GELMORA_IMAGES ic_account ic_close_dark ic_bind_success ad)

add_executable(gelmora_artwork ${CMAKE_CURRENT_SOURCE_DIR}/ui/resources/artwork.cpp)
project_warnings(gelmora_artwork)
target_link_libraries(gelmora_artwork PRIVATE Qt6::Gui)

set(_artwork_dir ${CMAKE_CURRENT_BINARY_DIR}/artwork)
set(_artwork_files)
foreach(image IN LISTS GELMORA_IMAGES)
  list(APPEND _artwork_files ${_artwork_dir}/${image}.png)
endforeach()
add_custom_command(
  OUTPUT ${_artwork_files}
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
          $<TARGET_FILE:gelmora_artwork> ${_artwork_dir} ${GELMORA_IMAGES}
  DEPENDS gelmora_artwork
  COMMENT "Drawing the application's images")
qt_add_resources(gelmora_ui gelmora_ui_images
  PREFIX /images
  BASE ${_artwork_dir}
  FILES ${_artwork_files})
