# A seed replays to the same output, twice, whatever it finds.
foreach(seed 6 7)
  foreach(run 1 2)
    execute_process(COMMAND ${SIM} --seed ${seed} --steps 4000 OUTPUT_VARIABLE out${run}
                    RESULT_VARIABLE rc${run})
  endforeach()
  if(NOT out1 STREQUAL out2 OR NOT rc1 STREQUAL rc2)
    message(FATAL_ERROR "seed ${seed} ran differently:\n${out1}\n---\n${out2}")
  endif()
  string(REGEX MATCH "^[^\n]*" first "${out1}")
  message(STATUS "seed ${seed} replayed the same: ${first}")
endforeach()
