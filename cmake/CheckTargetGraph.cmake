# Prints how the Quorvel libraries stand on each other and fails when they go round in a
# circle. Run by CTest (test "target_graph"):
#   cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DGENERATOR=... [-DEXTRA_ARGS=...] -P CheckTargetGraph.cmake
# The project is configured afresh into BINARY_DIR (nothing is built) with CMake's --graphviz.
cmake_minimum_required(VERSION 3.25)

foreach(var SOURCE_DIR BINARY_DIR GENERATOR)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "CheckTargetGraph.cmake needs -D${var}=...")
    endif()
endforeach()

set(dot "${BINARY_DIR}/graph/quorvel.dot")
file(REMOVE_RECURSE "${BINARY_DIR}/graph")
execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
            -DQUORVEL_BUILD_TESTS=OFF ${EXTRA_ARGS} "--graphviz=${dot}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT EXISTS "${dot}")
    message(FATAL_ERROR "Configuring for the target graph failed:\n${output}")
endif()

# Edges read: "node0" -> "node3" [ style = dotted ] // quorvel_app -> quorvel_common
file(STRINGS "${dot}" lines REGEX "// quorvel_[A-Za-z0-9_]+ -> ")
set(nodes)
foreach(line IN LISTS lines)
    if(line MATCHES "// (quorvel_[A-Za-z0-9_]+) -> (quorvel_[A-Za-z0-9_]+)$")
        list(APPEND nodes "${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}")
        list(APPEND deps_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
    endif()
endforeach()
list(REMOVE_DUPLICATES nodes)
list(SORT nodes)
if(NOT nodes)
    message(FATAL_ERROR "No quorvel_ targets in ${dot}")
endif()

foreach(node IN LISTS nodes)
    if(DEFINED deps_${node})
        list(REMOVE_DUPLICATES deps_${node})
        list(SORT deps_${node})
        list(JOIN deps_${node} " " shown)
        message("${node} -> ${shown}")
    else()
        message("${node}")
    endif()
endforeach()

# Take away, again and again, every target whose links all are taken away already; what
# stays stands on itself through some circle.
set(remaining ${nodes})
while(remaining)
    set(before ${remaining})
    foreach(node IN LISTS before)
        set(free TRUE)
        foreach(dep IN LISTS deps_${node})
            if(dep IN_LIST remaining)
                set(free FALSE)
                break()
            endif()
        endforeach()
        if(free)
            list(REMOVE_ITEM remaining "${node}")
        endif()
    endforeach()
    if(remaining STREQUAL before)
        list(JOIN remaining " " circle)
        message(FATAL_ERROR "The libraries link in a circle among: ${circle}")
    endif()
endwhile()
message("No circle among the quorvel_ targets.")
