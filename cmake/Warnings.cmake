# Warnings are errors on our own targets only; third-party code keeps its own flags.
function(druvo_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wconversion -Wformat=2 -Werror)
endfunction()
