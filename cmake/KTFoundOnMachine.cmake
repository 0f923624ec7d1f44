# What the configure step found on this machine: CMake packages, Qt's tools,
# the compiler and the programs tests run. Each must come from the set-up.
get_cmake_property(kt_cache_vars CACHE_VARIABLES)
set(kt_found "")
foreach(var IN LISTS kt_cache_vars)
    if(var MATCHES "_DIR$" AND "${${var}}" MATCHES "^/usr/")
        list(APPEND kt_found "${${var}}")
    endif()
endforeach()
foreach(tool IN ITEMS Qt5::moc Qt5::rcc Qt5::uic Qt5::lrelease Qt5::lupdate)
    if(TARGET ${tool})
        get_target_property(location ${tool} IMPORTED_LOCATION)
        list(APPEND kt_found "${location}")
    endif()
endforeach()
# pkg-config's finds (cached by the tool that uses them) and the independent QR decoder a test runs.
list(APPEND kt_found ${PKG_CONFIG_EXECUTABLE} ${pkgcfg_lib_QRENCODE_qrencode} ${pkgcfg_lib_POPPLER_QT5_poppler-qt5}
     ${pkgcfg_lib_DXFLIB_dxflib})
find_program(KT_ZBARIMG zbarimg)
if(KT_ZBARIMG)
    list(APPEND kt_found "${KT_ZBARIMG}")
endif()
find_program(KT_NM nm)
list(APPEND kt_found "${CMAKE_CXX_COMPILER}" "${CMAKE_AR}" "${KT_NM}")
string(REPLACE ";" "\n" kt_found "${kt_found}")
file(WRITE ${PROJECT_BINARY_DIR}/found-on-this-machine.txt "${kt_found}\n")
add_test(NAME setup_installs_what_the_build_uses
         COMMAND ${PROJECT_SOURCE_DIR}/tests/setup/check_packages.sh
                 ${PROJECT_BINARY_DIR}/found-on-this-machine.txt ${PROJECT_SOURCE_DIR}/scripts/setup.sh)
