# Debian's nlohmann_json headers for a cross build: a folder that holds only nlohmann/, so
# the host's C library headers stay out of the target's include path.
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(_nlohmann_dir ${CMAKE_BINARY_DIR}/nlohmann-include)
  if(NOT EXISTS ${_nlohmann_dir}/nlohmann)
    file(MAKE_DIRECTORY ${_nlohmann_dir})
    file(CREATE_LINK /usr/include/nlohmann ${_nlohmann_dir}/nlohmann SYMBOLIC)
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                        INTERFACE_INCLUDE_DIRECTORIES ${_nlohmann_dir})
  unset(_nlohmann_dir)
endif()
set(nlohmann_json_FOUND TRUE)
