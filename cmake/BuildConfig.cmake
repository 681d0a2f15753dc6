# veltro_add_build_config(target MANIFEST_URL url WEBSITE_URL url [CA_FILE pem] [DEPENDS ...]):
# a small library that defines the functions of app/buildconfig.h for one program. The source is
# written at build time, so a certificate authority made by the build itself can be embedded.
function(veltro_add_build_config target)
    cmake_parse_arguments(ARG "" "MANIFEST_URL;WEBSITE_URL;CA_FILE" "DEPENDS" ${ARGN})
    set(template ${PROJECT_SOURCE_DIR}/app/buildconfig.cpp.in)
    set(script ${PROJECT_SOURCE_DIR}/cmake/writebuildconfig.cmake)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp)
    set(inputs ${template} ${script})
    if(ARG_CA_FILE)
        list(APPEND inputs ${ARG_CA_FILE})
    endif()
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DTEMPLATE=${template} -DOUTPUT=${output}
                -DMANIFEST_URL=${ARG_MANIFEST_URL} -DWEBSITE_URL=${ARG_WEBSITE_URL}
                -DCA_FILE=${ARG_CA_FILE} -P ${script}
        DEPENDS ${inputs} ${ARG_DEPENDS}
        COMMENT "Writing the build configuration ${target}"
        VERBATIM)
    add_library(${target} STATIC ${output} ${PROJECT_SOURCE_DIR}/app/buildconfig.h)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${target} PRIVATE Qt6::Core)
    # Plain functions: nothing for Qt's code generators to do.
    set_target_properties(${target} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
endfunction()
