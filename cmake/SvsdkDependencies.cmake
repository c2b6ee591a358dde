# The libraries the SDK's sources use, found once for the library build and
# for the fuzz build. SVSDK_DEPS lists the targets a program linking the SDK
# needs too; SVSDK_BUILD_DEPS the header-only ones compiled into the library
# (stb), which its consumers need neither to compile nor to link.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(SQLite3 REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
find_package(JPEG REQUIRED)
pkg_check_modules(URIPARSER REQUIRED IMPORTED_TARGET liburiparser)
pkg_check_modules(STB REQUIRED IMPORTED_TARGET stb)
pkg_check_modules(CARES REQUIRED IMPORTED_TARGET libcares)
set(SVSDK_DEPS
  OpenSSL::Crypto SQLite::SQLite3 CURL::libcurl nlohmann_json::nlohmann_json
  ICU::uc ICU::i18n JPEG::JPEG PkgConfig::URIPARSER PkgConfig::CARES Threads::Threads)
set(SVSDK_BUILD_DEPS PkgConfig::STB)
