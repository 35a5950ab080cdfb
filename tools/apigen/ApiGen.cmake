# apigen_generate(<target> SCHEMAS <files...> NAME <name> [INCLUDE_DIR <subdir>]
#                 [BASE_INCLUDE_DIR <dir>])
#
# BASE_INCLUDE_DIR: where the call bases' headers are included from (<dir>/<Base>.h); defaults
# to INCLUDE_DIR. The generated <name>Calls.h declares <name>RegisterCalls(), which a library
# calls once (say, from its engine) so the registrations are linked in from a static library.
# Runs tools/apigen at build time over the schema files and adds the generated
# <name>Models.{h,cpp} and <name>Calls.{h,cpp} to <target>. The headers land in
# ${CMAKE_CURRENT_BINARY_DIR}/generated/<subdir>/, which joins the target's public include path.
include_guard(GLOBAL)

function(apigen_generate target)
  cmake_parse_arguments(A "" "NAME;INCLUDE_DIR;BASE_INCLUDE_DIR" "SCHEMAS" ${ARGN})
  if(NOT A_NAME)
    message(FATAL_ERROR "apigen_generate(${target}): NAME is required")
  endif()
  if(NOT A_SCHEMAS)
    message(FATAL_ERROR "apigen_generate(${target}): SCHEMAS is required")
  endif()
  set(root ${CMAKE_CURRENT_BINARY_DIR}/generated)
  set(out ${root})
  if(A_INCLUDE_DIR)
    set(out ${root}/${A_INCLUDE_DIR})
  endif()
  set(schemas)
  foreach(s IN LISTS A_SCHEMAS)
    get_filename_component(abs ${s} ABSOLUTE)
    list(APPEND schemas ${abs})
  endforeach()
  set(outputs ${out}/${A_NAME}Models.h ${out}/${A_NAME}Models.cpp ${out}/${A_NAME}Calls.h
              ${out}/${A_NAME}Calls.cpp)
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND apigen --out ${out} --name ${A_NAME} --include-dir "${A_INCLUDE_DIR}"
            --base-include-dir "${A_BASE_INCLUDE_DIR}" ${schemas}
    DEPENDS apigen ${schemas}
    COMMENT "Generating ${A_NAME} models and calls"
    VERBATIM)
  target_sources(${target} PRIVATE ${outputs})
  target_include_directories(${target} PUBLIC ${root})
endfunction()
