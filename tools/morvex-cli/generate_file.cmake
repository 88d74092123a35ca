# Writes one file that morvex-cli makes from its description of its options:
#   cmake -DCLI=<morvex-cli> -DWHAT=<man|man-COMMAND|bash|zsh> -DOUT=<file> -P generate_file.cmake
execute_process(COMMAND ${CLI} --generate ${WHAT} OUTPUT_FILE ${OUT}.new RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "morvex-cli --generate ${WHAT} failed: ${result}")
endif()
file(RENAME ${OUT}.new ${OUT})
