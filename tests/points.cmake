# tests: points
qrn_add_test(point_table_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/point_table_test.cpp
  LIBS quorlin_points
  LABELS points)

find_package(Python3 COMPONENTS Interpreter REQUIRED)

# The committed table must be exactly what the generator writes.
add_test(NAME PointTable.generated_file_is_current
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/gen_point_table.py
          --check ${PROJECT_SOURCE_DIR}/record/point_table.inc)
set_tests_properties(PointTable.generated_file_is_current PROPERTIES LABELS points)

foreach(case points_lists_the_table unknown_subcommand_exits_2 no_subcommand_exits_2
             unknown_option_exits_2 extra_argument_exits_2 malformed_option_value_exits_2
             missing_or_clashing_options_exit_2 readable_or_malformed_user_file_exits_2
             help_goes_to_stdout decode_marks_an_invalid_stamp)
  add_test(NAME QuorlinCli.${case}
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/quorlin_cli_test.py
            $<TARGET_FILE:quorlin> ${PROJECT_SOURCE_DIR}/tools/gen_point_table.py ${case})
  set_tests_properties(QuorlinCli.${case} PROPERTIES LABELS points)
endforeach()
