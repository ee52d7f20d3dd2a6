# Builds and runs the consumer project against DidedaZiv, as the main application would:
# MODE=subdirectory takes the sources in; MODE=package installs them first, then find_package.
file(REMOVE_RECURSE ${WORK})
set(consumer ${SOURCE}/tests/consumer/project)

function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}")
  endif()
endfunction()

if(MODE STREQUAL "package")
  step(${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/library -G Ninja -DCMAKE_BUILD_TYPE=Release
    -DKELPWORD_TESTS=OFF -DKELPWORD_BENCH=OFF -DKELPWORD_EXTENSION=OFF)
  step(${CMAKE_COMMAND} --build ${WORK}/library --target DidedaZiv)
  step(${CMAKE_COMMAND} --install ${WORK}/library --prefix ${WORK}/prefix)
  # The headers lie beneath the project's own folder, none in a bare include/platform.
  if(NOT EXISTS ${WORK}/prefix/include/didedaziv/DidedaZiv/AudioIntake.hpp OR
     NOT EXISTS ${WORK}/prefix/include/didedaziv/platform/Url.hpp OR
     EXISTS ${WORK}/prefix/include/platform OR EXISTS ${WORK}/prefix/include/DidedaZiv OR
     EXISTS ${WORK}/prefix/include/didedaziv/platform/app)
    message(FATAL_ERROR "headers installed outside include/didedaziv/ (or the extension's with them)")
  endif()
  step(${CMAKE_COMMAND} -S ${consumer} -B ${WORK}/consumer -G Ninja -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_PREFIX_PATH=${WORK}/prefix)
else()
  step(${CMAKE_COMMAND} -S ${consumer} -B ${WORK}/consumer -G Ninja -DCMAKE_BUILD_TYPE=Release
    -DDIDEDAZIV_SOURCE=${SOURCE})
endif()
step(${CMAKE_COMMAND} --build ${WORK}/consumer)
step(${WORK}/consumer/consumer)
