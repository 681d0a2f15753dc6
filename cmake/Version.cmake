# The project's version (project() in CMakeLists.txt) is the launcher's version everywhere: the
# text the manifest's updater_version must equal, the Windows version resource
# (assets/veltro.rc) and the setup (scripts/windows-setup.nsi, through scripts/windows.sh).
# A release changes it in one place; this check keeps the version gate's constant in step.
file(STRINGS ${PROJECT_SOURCE_DIR}/manifest/panelbuilder.cpp veltro_own_version
    REGEX "ownVersion\\[\\] = \"[^\"]*\"")
string(REGEX REPLACE ".*\"([^\"]*)\".*" "\\1" veltro_own_version "${veltro_own_version}")
if(NOT veltro_own_version)
    message(WARNING "The version gate's constant was not found in manifest/panelbuilder.cpp")
elseif(NOT veltro_own_version STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "The launcher's version gate (manifest/panelbuilder.cpp) says "
        "\"${veltro_own_version}\", the project ${PROJECT_VERSION}: change both together")
endif()

# The resource compiler's definitions: the version as text and its numeric parts.
set(veltro_version_patch 0)
if(PROJECT_VERSION_PATCH)
    set(veltro_version_patch ${PROJECT_VERSION_PATCH})
endif()
set(VELTRO_VERSION_DEFINITIONS
    VELTRO_VERSION=${PROJECT_VERSION}
    VELTRO_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    VELTRO_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    VELTRO_VERSION_PATCH=${veltro_version_patch})
