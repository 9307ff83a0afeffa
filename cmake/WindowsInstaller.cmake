# The Windows installer, made by CPack's NSIS generator with Debian's
# makensis (`make windows` leaves it in the build folder's package/):
# karvello.exe and karvello-cli.exe in Program Files\Karvello\bin, an
# entry for the window in the Start menu,
# and an uninstaller that Windows lists among the installed programs and
# that takes everything away again, the Start-menu entry included.
set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME Karvello)
set(CPACK_PACKAGE_VENDOR Karvello)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "clean and compare two lists of short texts")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Karvello)
set(CPACK_PACKAGE_FILE_NAME karvello-${PROJECT_VERSION}-windows-x64)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
# The Start-menu entry: bin\karvello.exe, named Karvello.
set(CPACK_PACKAGE_EXECUTABLES karvello Karvello)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DISPLAY_NAME Karvello)
set(CPACK_NSIS_PACKAGE_NAME Karvello)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/src/app/resources/karvello.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/src/app/resources/karvello.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\karvello.exe")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
# There are no licence terms to show the user.
set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# A 64-bit installer, like the program: wine without its 32-bit half, as
# on Debian by default, runs no 32-bit program.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_STRIP_FILES ON)
include(CPack)
