# Installs the build into a fresh prefix (with -DCPACK=...: makes the
# Debian package and unpacks it into a scratch root, as no root is needed
# for) and builds README's embedding example against it twice, with
# find_package(propreg) and with pkg-config; each must read a value the
# installed propctl wrote.
# -DBUILD_DIR=... -DWORK=... -DCONSUMER=... (the consumer sources)
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(run_out "${out}" PARENT_SCOPE)
endfunction()

if(CPACK)
  run(${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK}/package)
  file(GLOB deb ${WORK}/package/*.deb)
  find_program(DPKG_DEB dpkg-deb REQUIRED)
  run(${DPKG_DEB} -x ${deb} ${WORK}/root)
  set(prefix ${WORK}/root/usr)
else()
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endif()
# Every page the build wrote, one per command of propctl.
file(GLOB pages RELATIVE ${BUILD_DIR}/tools/docs ${BUILD_DIR}/tools/docs/man1/*.1)
list(LENGTH pages page_count)
if(page_count LESS 20)
  message(FATAL_ERROR "the build wrote ${page_count} man pages")
endif()
list(TRANSFORM pages PREPEND share/man/)
foreach(f bin/propctl bin/propregd include/propreg/prop.h include/propreg/frontend.h include/propreg/client.h
    lib/systemd/system/propregd.service share/bash-completion/completions/propctl share/zsh/site-functions/_propctl ${pages})
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# The installed propctl runs on the installed library.
run(${prefix}/bin/propctl --help)

# Both programs read what the installed propctl wrote.
set(store ${WORK}/root)
run(${prefix}/bin/propctl --root ${store} init)
run(${prefix}/bin/propctl --root ${store} set SYSTEM.app.port 8080 --type int)
function(expect_port program)
  run(${CMAKE_COMMAND} -E env ZKV_REGISTRY_ROOT=${store} ${program})
  if(NOT run_out STREQUAL "SYSTEM.app.port = 8080\n")
    message(FATAL_ERROR "${program} said: ${run_out}")
  endif()
endfunction()

run(${CMAKE_COMMAND} -S ${CONSUMER} -B ${WORK}/consumer -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK}/consumer)
expect_port(${WORK}/consumer/consumer)

file(GLOB_RECURSE pc_files ${prefix}/*/propreg.pc)
list(GET pc_files 0 pc)
get_filename_component(pc_dir ${pc} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
find_program(PKG_CONFIG NAMES pkg-config pkgconf REQUIRED)
run(${PKG_CONFIG} --cflags --libs propreg-frontend)
string(STRIP "${run_out}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
get_filename_component(libdir ${pc_dir} DIRECTORY)
find_program(CC NAMES cc gcc REQUIRED)
run(${CC} ${CONSUMER}/consumer.c -o ${WORK}/c_consumer ${flags} -Wl,-rpath,${libdir})
expect_port(${WORK}/c_consumer)

# The client example reads the same key through a daemon of the
# installation, built both ways too.
run(${PKG_CONFIG} --cflags --libs propreg-client)
string(STRIP "${run_out}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CC} ${CONSUMER}/client.c -o ${WORK}/c_client ${flags} -Wl,-rpath,${libdir})
execute_process(COMMAND sh -c "'${prefix}/bin/propregd' --root '${store}' --pidfile '${WORK}/pid' --log '${WORK}/log' </dev/null >/dev/null 2>&1 &")
foreach(i RANGE 100)
  if(EXISTS ${store}/propregd.sock)
    break()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.1)
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.2)
expect_port(${WORK}/consumer/client)
expect_port(${WORK}/c_client)
execute_process(COMMAND sh -c "kill $(cat '${WORK}/pid')")
