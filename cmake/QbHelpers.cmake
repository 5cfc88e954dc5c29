# Small helpers so that each folder's CMakeLists.txt stays a few lines long and
# adding a source file never means touching a shared build file.

function(qb_add_existing_subdirectories)
    foreach(dir IN LISTS ARGN)
        if(EXISTS ${PROJECT_SOURCE_DIR}/${dir}/CMakeLists.txt)
            add_subdirectory(${PROJECT_SOURCE_DIR}/${dir} ${PROJECT_BINARY_DIR}/${dir})
        endif()
    endforeach()
endfunction()

# qb_library(<name> [QT] DEPS <targets...>)
# One static library from the .cpp/.h files directly in the calling folder.
function(qb_library name)
    cmake_parse_arguments(ARG "QT" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    if(ARG_QT)
        set_target_properties(${name} PROPERTIES AUTOMOC ON AUTORCC ON)
        qb_rerun_moc_when_sources_change(${name} "${sources}")
    endif()
endfunction()

# AUTOMOC does not notice a header newly added by the glob in an existing build folder (its rule depends only on
# the headers it has already seen), which leaves the library without its moc code. When the list of sources
# changes, drop the autogen stamp so the next build runs moc again.
function(qb_rerun_moc_when_sources_change name sources)
    set(list_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_sources.txt)
    string(JOIN "\n" content ${sources})
    set(previous "")
    if(EXISTS ${list_file})
        file(READ ${list_file} previous)
    endif()
    if(NOT previous STREQUAL content)
        file(WRITE ${list_file} "${content}")
        file(REMOVE ${CMAKE_CURRENT_BINARY_DIR}/${name}_autogen/timestamp)
    endif()
endfunction()

# qb_test(<name> DIR <folder> [QT] DEPS <targets...> [LABELS <labels...>])
# One GoogleTest executable from every .cpp below <folder>; each test case is its own CTest test.
function(qb_test name)
    cmake_parse_arguments(ARG "QT" "DIR" "DEPS;LABELS" ${ARGN})
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${ARG_DIR}/*.cpp ${ARG_DIR}/*.h)
    add_executable(${name} ${sources})
    if(ARG_QT)
        target_link_libraries(${name} PRIVATE qb_test_main_qt)
        set_target_properties(${name} PROPERTIES AUTOMOC ON)
        qb_rerun_moc_when_sources_change(${name} "${sources}")
    else()
        target_link_libraries(${name} PRIVATE qb_test_main)
    endif()
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock)
    target_compile_definitions(${name} PRIVATE
        QB_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        QB_SHARED_TESTDATA="${PROJECT_SOURCE_DIR}/../shared/testdata")
    set(labels ${ARG_LABELS})
    if(NOT labels)
        if(ARG_QT)
            set(labels ui)
        else()
            set(labels core)
        endif()
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${labels}" ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
