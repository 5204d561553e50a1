# The release zip, made by CPack: qrvinst.exe and qrvinst64.exe as
# scripts/package.sh leaves them in <build>/files (built, and signed when it
# was given a certificate), the deployment kit (deploy/qrvdeploy.cmd, with
# CRLF line ends for cmd.exe, and the Ansible playbook as
# ansible/qrvinst.yml with its ansible/collections/requirements.yml),
# README.txt made from docs/guide.md followed by
# docs/deploying.md, and SHA256SUMS of them all, at the top of the zip.
#
# The same files give the same zip: its entries are sorted and dated at the
# last commit (or SOURCE_DATE_EPOCH, where set), in UTC. CMake before 4.3
# writes the build user's IDs into them, though.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(files ${CMAKE_BINARY_DIR}/files)
set(exes ${files}/qrvinst.exe ${files}/qrvinst64.exe)
set(guide ${files}/README.txt)
set(sums ${files}/SHA256SUMS)
set(deploy_script ${files}/qrvdeploy.cmd)
set(playbook ${files}/ansible/qrvinst.yml)
set(requirements ${files}/ansible/collections/requirements.yml)

# cmd.exe reads a batch file by CRLF lines, whatever line ends the checkout
# gave deploy/qrvdeploy.cmd. scripts/package.sh configures this build anew
# for every release, and a change to the script configures it again.
file(READ ${CMAKE_SOURCE_DIR}/deploy/qrvdeploy.cmd script)
string(REPLACE "\r\n" "\n" script "${script}")
string(REPLACE "\n" "\r\n" script "${script}")
set(script_crlf ${CMAKE_BINARY_DIR}/qrvdeploy.cmd)
file(WRITE ${script_crlf} "${script}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS deploy/qrvdeploy.cmd)
# The kit records the release's version for Apps & features.
if(NOT script MATCHES "\r\nset \"version=${PROJECT_VERSION}\"\r\n")
  message(FATAL_ERROR "deploy/qrvdeploy.cmd does not set version=${PROJECT_VERSION}, the version in project()")
endif()

add_custom_command(
  OUTPUT ${guide}
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/make_guide.py
          --version ${PROJECT_VERSION} --texts ${CMAKE_SOURCE_DIR}/frontend/console.cpp
          --texts ${CMAKE_SOURCE_DIR}/frontend/verdicts.cpp ${CMAKE_SOURCE_DIR}/docs/guide.md ${CMAKE_SOURCE_DIR}/docs/deploying.md ${guide}
  DEPENDS tools/make_guide.py docs/guide.md docs/deploying.md frontend/console.cpp
          frontend/verdicts.cpp
  COMMENT "Writing README.txt from docs/guide.md and docs/deploying.md"
  VERBATIM)
add_custom_command(
  OUTPUT ${deploy_script} ${playbook} ${requirements}
  COMMAND ${CMAKE_COMMAND} -E copy ${script_crlf} ${deploy_script}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/deploy/ansible/qrvinst.yml ${playbook}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/deploy/ansible/collections/requirements.yml
          ${requirements}
  DEPENDS ${script_crlf} deploy/ansible/qrvinst.yml deploy/ansible/collections/requirements.yml
  COMMENT "Copying the deployment kit"
  VERBATIM)
add_custom_command(
  OUTPUT ${sums}
  COMMAND sh -c "sha256sum qrvinst.exe qrvinst64.exe qrvdeploy.cmd ansible/qrvinst.yml ansible/collections/requirements.yml README.txt > SHA256SUMS"
  WORKING_DIRECTORY ${files}
  DEPENDS ${exes} ${guide} ${deploy_script} ${playbook} ${requirements}
  COMMENT "Summing the files of the release"
  VERBATIM)
add_custom_target(release_files ALL DEPENDS ${sums})

install(PROGRAMS ${exes} DESTINATION . COMPONENT release)
install(FILES ${deploy_script} ${guide} ${sums} DESTINATION . COMPONENT release)
install(FILES ${playbook} DESTINATION ansible COMPONENT release)
install(FILES ${requirements} DESTINATION ansible/collections COMPONENT release)

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(
    COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE epoch
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE failed)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    set(epoch 315532800)
    message(STATUS "No commit to date the zip's entries by: dated 1980-01-01")
  endif()
endif()
# Read by cpack itself, which dates the entries by SOURCE_DATE_EPOCH and
# writes their zip dates in local time.
set(cpack_environment ${CMAKE_BINARY_DIR}/cpack_environment.cmake)
file(WRITE ${cpack_environment} "set(ENV{SOURCE_DATE_EPOCH} ${epoch})\nset(ENV{TZ} UTC)\n")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# One component in one zip: CPack sorts the files of a component, where it
# would take those of a plain install in the order the file system lists
# them.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL release)
set(CPACK_PROJECT_CONFIG_FILE ${cpack_environment})
include(CPack)
