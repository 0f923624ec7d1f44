# What is installed, in four Debian packages split by who needs them:
#   kt-mrc600cam            the module, its catalogue and the shared libraries
#   kt-mrc600cam-dev        headers, the CMake package, the unversioned links
#   kt-mrc600cam-tools      kt-host and its man page
#   kt-mrc600cam-simulators the virtual cutter and the cloud stand-in
# cpack -G DEB in the build folder writes all four.

set(KT_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/kt-mrc600cam CACHE PATH "Where the plug-in module is installed")
set(KT_DEB_NAME kt-mrc600cam)

install(TARGETS KT-MRC600Cam LIBRARY DESTINATION ${KT_PLUGIN_INSTALL_DIR} COMPONENT Runtime)
install(FILES ${KT_QM_FILE} DESTINATION ${KT_PLUGIN_INSTALL_DIR}/translations COMPONENT Runtime)
install(TARGETS ktapi UsbChannel nuvexaCloud ktjob EXPORT KTMRC600CamTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
foreach(header device/ktdeviceinterface.h property/ktdeviceproperty.h
        platform/nuvexacloud/nuvexacloud.h platform/usbchannel/usbchannel.h job/ktcutjob.h)
    get_filename_component(folder ${header} DIRECTORY)
    install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kt-mrc600cam/${folder} COMPONENT Development)
endforeach()
install(FILES ${KT_GENERATED_INCLUDE}/ktapi_export.h ${KT_GENERATED_INCLUDE}/usbchannel_export.h
    ${KT_GENERATED_INCLUDE}/nuvexacloud_export.h ${KT_GENERATED_INCLUDE}/ktjob_export.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kt-mrc600cam COMPONENT Development)
install(EXPORT KTMRC600CamTargets NAMESPACE KTMRC600Cam::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/KTMRC600Cam COMPONENT Development)
include(CMakePackageConfigHelpers)
configure_package_config_file(cmake/KTMRC600CamConfig.cmake.in
    ${PROJECT_BINARY_DIR}/KTMRC600CamConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/KTMRC600Cam
    PATH_VARS KT_PLUGIN_INSTALL_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KTMRC600CamConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KTMRC600CamConfig.cmake ${PROJECT_BINARY_DIR}/KTMRC600CamConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/KTMRC600Cam COMPONENT Development)

# Every package carries its copyright file and a compressed changelog.
set(KT_DEB_DOC_DIR ${PROJECT_BINARY_DIR}/deb-doc)
file(MAKE_DIRECTORY ${KT_DEB_DOC_DIR})
string(TIMESTAMP KT_BUILD_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(KT_BUILD_DATE "Thu, 01 Jan 1970 00:00:00 +0000")
endif()
configure_file(cmake/changelog.Debian.in ${KT_DEB_DOC_DIR}/changelog.Debian @ONLY)
find_program(KT_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${KT_DEB_DOC_DIR}/changelog.Debian.gz
    COMMAND ${KT_GZIP} -9nc ${KT_DEB_DOC_DIR}/changelog.Debian > ${KT_DEB_DOC_DIR}/changelog.Debian.gz
    DEPENDS ${KT_DEB_DOC_DIR}/changelog.Debian
    COMMENT "Compressing the Debian changelog")
add_custom_target(kt_deb_doc ALL DEPENDS ${KT_DEB_DOC_DIR}/changelog.Debian.gz)

set(KT_DEB_COMPONENTS Runtime Development)
if(KT_BUILD_TOOLS OR KT_BUILD_TESTS)
    list(APPEND KT_DEB_COMPONENTS Tools Simulators)
endif()
foreach(component IN LISTS KT_DEB_COMPONENTS)
    string(TOUPPER ${component} upper)
    if(component STREQUAL "Runtime")
        set(package ${KT_DEB_NAME})
    elseif(component STREQUAL "Development")
        set(package ${KT_DEB_NAME}-dev)
    else()
        string(TOLOWER ${component} lower)
        set(package ${KT_DEB_NAME}-${lower})
    endif()
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
    install(FILES debian/copyright ${KT_DEB_DOC_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()
# The udev rule carries placeholder ids: an example to copy and edit, never a
# live rule.
install(FILES udev/70-kt-mrc600cam.rules DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KT_DEB_NAME}/examples
    COMPONENT Runtime)

set(CPACK_PACKAGE_NAME ${KT_DEB_NAME})
set(CPACK_PACKAGE_VENDOR "KT-MRC600Cam developers")
set(CPACK_PACKAGE_CONTACT "KT-MRC600Cam developers <maintainers@users.noreply.example>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${KT_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_STRIP_FILES ON)
# Library dependencies as dpkg-shlibdeps finds them; our own libraries are
# looked up in the build tree and named through the runtime package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${KT_OUTPUT_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kt-mrc600cam.example/")
set(KT_DEB_RUNTIME_DEP "${KT_DEB_NAME} (= ${PROJECT_VERSION}-1)")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The outbox opens SQLite through a Qt plug-in that no library links.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libqt5sql5-sqlite")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "device-driver plug-in for the KT-MRC600Cam label cutter
The Qt 5 plug-in module that drives the KT-MRC600Cam desktop label cutter
over USB or TCP, its translation catalogue, and the libraries a host shares
with it: the device interface and parameter class, the USB channel and the
cloud client. An example udev rule for the machine's USB ports is in the
documentation.")
# The libraries land in the linker's own folder: ldconfig runs once per
# transaction through a trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/debian/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${KT_DEB_RUNTIME_DEP}, qtbase5-dev (>= 5.15)")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "development files for the KT-MRC600Cam label cutter plug-in
Headers of the device interface, the parameter class, the USB channel and the
cloud client, the unversioned library links and the CMake package
(find_package(KTMRC600Cam)) for hosts that load the KT-MRC600Cam plug-in.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${KT_DEB_RUNTIME_DEP}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "operator tools for the KT-MRC600Cam label cutter
kt-host runs cut jobs and QR-code jobs on the KT-MRC600Cam desktop label
cutter through its plug-in, reads and writes the machine's settings, backs
them up and restores them, and lists the work records waiting for the cloud.")

set(CPACK_DEBIAN_SIMULATORS_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_SIMULATORS_DESCRIPTION "simulated KT-MRC600Cam label cutter and cloud service
A virtual cutter that speaks the machine's command frames over TCP or a
pseudo-terminal, and a local stand-in for the cloud service, for trying hosts
and kt-host without a machine or a network.")

include(CPack)
