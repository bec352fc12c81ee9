# sipper_import_board_library(PATH)
# Makes the target sipper_board_library stand for the static or shared board
# library at PATH, after a link check at configure time: a program that takes
# the address of each function declared in motion/flexmotion.h must link
# against it. A library that lacks any of them fails the configure step with
# the names of the missing functions, not the build with a linker error.
function(sipper_import_board_library path)
  if(NOT IS_ABSOLUTE "${path}")
    get_filename_component(path "${path}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
  endif()
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "SIPPER_BOARD_LIBRARY: no library file ${path} "
                        "(give 'simulated' or the path of a .a or .so)")
  endif()
  if(path MATCHES "\\.a$")
    set(kind STATIC)
  elseif(path MATCHES "\\.so(\\.[0-9]+)*$")
    set(kind SHARED)
  else()
    message(FATAL_ERROR "SIPPER_BOARD_LIBRARY: ${path} is neither a static (.a) nor a shared (.so) library")
  endif()

  # The functions are read from the declarations, so the check cannot drift
  # from what the wrapper calls.
  file(STRINGS "${PROJECT_SOURCE_DIR}/motion/flexmotion.h" lines REGEX "^int32_t flex_[a-z0-9_]+\\(")
  set(functions "")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "flex_[a-z0-9_]+" name "${line}")
    list(APPEND functions ${name})
  endforeach()
  list(LENGTH functions count)

  set(dir "${CMAKE_BINARY_DIR}/CMakeFiles/board_library_check")
  set(source "#include \"motion/flexmotion.h\"\nusing Function = void (*)();\n"
             "Function volatile functions[] = {\n")
  foreach(name IN LISTS functions)
    string(APPEND source "    reinterpret_cast<Function>(&${name}),\n")
  endforeach()
  string(APPEND source "};\nint main() { return functions[0] == nullptr; }\n")
  file(WRITE "${dir}/board_library_check.cpp" "${source}")
  try_compile(linked "${dir}/build" "${dir}/board_library_check.cpp"
              CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${PROJECT_SOURCE_DIR}"
              LINK_LIBRARIES "${path}" Threads::Threads rt
              CXX_STANDARD 20
              OUTPUT_VARIABLE output)
  if(NOT linked)
    set(missing "")
    foreach(name IN LISTS functions)
      if(output MATCHES "undefined reference to `${name}'")
        list(APPEND missing ${name})
      endif()
    endforeach()
    if(missing)
      list(LENGTH missing missing_count)
      list(JOIN missing "\n  " missing_text)
      message(FATAL_ERROR "SIPPER_BOARD_LIBRARY ${path} lacks ${missing_count} of the ${count} board "
                          "functions:\n  ${missing_text}")
    endif()
    message(FATAL_ERROR "SIPPER_BOARD_LIBRARY: a program calling the ${count} board functions does not "
                        "link against ${path}:\n${output}")
  endif()
  message(STATUS "Board library ${path} defines all ${count} board functions")

  if(kind STREQUAL "SHARED")
    # Installed programs keep the library's directory as their run path
    # when it lies outside the loader's default directories.
    get_filename_component(library_dir "${path}" DIRECTORY)
    set(loader_dirs ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
    if(NOT library_dir IN_LIST loader_dirs)
      set(CMAKE_INSTALL_RPATH "${library_dir}" PARENT_SCOPE)
    endif()
  endif()
  add_library(sipper_board_library ${kind} IMPORTED GLOBAL)
  set_target_properties(sipper_board_library PROPERTIES IMPORTED_LOCATION "${path}")
  set_property(TARGET sipper_board_library PROPERTY INTERFACE_LINK_LIBRARIES Threads::Threads rt)
endfunction()
