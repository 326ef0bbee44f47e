// Shell variables: declaration rules, lookup order, assignment, the full table, and the
// shell's initial current directory.
#include "general/config.hpp"

#include "tests/unit/shell_support.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace tavix;

namespace {

class Config : public ::testing::Test {
protected:
    void SetUp() override { shell_test::fresh_machine(); }
};

TEST_F(Config, IntegerDeclarationParsesWithAtoi)
{
    init_variable("x", "42", TYPE_INT);
    init_variable("neg", "-17", TYPE_INT);
    init_variable("bang", "5!", TYPE_INT);
    init_variable("dash", "12-3", TYPE_INT);
    init_variable("sign", "-", TYPE_INT);
    ASSERT_EQ(get_var_count(), 5);
    EXPECT_EQ(find_variable("x")->type, TYPE_INT);
    EXPECT_EQ(find_variable("x")->data.int_value, 42);
    EXPECT_EQ(find_variable("neg")->data.int_value, -17);
    EXPECT_EQ(find_variable("bang")->data.int_value, 5);
    EXPECT_EQ(find_variable("dash")->data.int_value, 12);
    EXPECT_EQ(find_variable("sign")->data.int_value, 0);
    EXPECT_EQ(shell_test::screen(), "");
}

TEST_F(Config, RejectedDeclarationsPrintOneLineAndDeclareNothing)
{
    init_variable("x", "4a2", TYPE_INT);
    EXPECT_EQ(shell_test::screen(), "error: variable contains letters");
    EXPECT_EQ(var_count, 0u);

    sim::reset();
    init_variable("9lives", "1", TYPE_INT);
    EXPECT_EQ(shell_test::screen(), "error: variable name cannot start with a digit");
    init_variable("9lives", "cat", TYPE_STR);
    EXPECT_EQ(var_count, 0u);
    EXPECT_EQ(find_variable("9lives"), nullptr);

    // Only the first character is tested, and strings take any text.
    init_variable("lives9", "1", TYPE_INT);
    init_variable("a.b", "12ab!", TYPE_STR);
    EXPECT_EQ(var_count, 2u);
    EXPECT_STREQ(find_variable("a.b")->data.str_value, "12ab!");
}

TEST_F(Config, NamesAreCaseSensitiveAndTheEarliestDeclarationWins)
{
    init_variable("x", "1", TYPE_INT);
    init_variable("x", "one", TYPE_STR);
    init_variable("X", "2", TYPE_INT);
    EXPECT_EQ(get_var_count(), 3);
    EXPECT_EQ(find_variable("x"), &var[0]);
    EXPECT_EQ(find_variable("x")->data.int_value, 1);
    EXPECT_EQ(find_variable("X")->data.int_value, 2);
    EXPECT_EQ(find_variable("y"), nullptr);
    EXPECT_EQ(find_variable(""), nullptr);
}

TEST_F(Config, StringAssignmentReplacesAndReleasesTheOldCopy)
{
    init_variable("s", "hello", TYPE_STR);
    const shell_test::HeapUse before = shell_test::heap_use();
    const char* old_value = find_variable("s")->data.str_value;
    assign_variable("s", "world");
    EXPECT_STREQ(find_variable("s")->data.str_value, "world");
    EXPECT_NE(find_variable("s")->data.str_value, old_value);
    // Same number of blocks: the old string went back to the heap.
    EXPECT_EQ(shell_test::heap_use().blocks, before.blocks);
    EXPECT_EQ(shell_test::screen(), "");
}

TEST_F(Config, IntegerAssignmentSkipsTheLetterTestAndKeepsTheType)
{
    init_variable("n", "5", TYPE_INT);
    assign_variable("n", "abc");
    EXPECT_EQ(find_variable("n")->data.int_value, 0);
    assign_variable("n", "7x");
    EXPECT_EQ(find_variable("n")->data.int_value, 7);
    EXPECT_EQ(find_variable("n")->type, TYPE_INT);
    EXPECT_EQ(shell_test::screen(), "");
}

TEST_F(Config, AssignmentToAnUndeclaredNameIsReported)
{
    assign_variable("ghost", "1");
    EXPECT_EQ(shell_test::screen(), "syntax error: variable ghost not found");
    EXPECT_EQ(var_count, 0u);
}

TEST_F(Config, FullTableRefusesFurtherDeclarationsWithOneLine)
{
    for (int i = 0; i < max_variables; ++i)
        init_variable(("v" + std::to_string(i)).c_str(), "1", TYPE_INT);
    ASSERT_EQ(var_count, static_cast<uint64_t>(max_variables));
    EXPECT_EQ(shell_test::screen(), "");
    const shell_test::HeapUse before = shell_test::heap_use();

    init_variable("late", "2", TYPE_INT);
    init_variable("later", "text", TYPE_STR);
    EXPECT_EQ(var_count, static_cast<uint64_t>(max_variables));
    EXPECT_EQ(find_variable("late"), nullptr);
    EXPECT_EQ(shell_test::heap_use(), before);
    const std::string out = shell_test::screen();
    EXPECT_EQ(out, "error: too many variables\nerror: too many variables");
    // The last slot is still intact and reachable.
    EXPECT_EQ(find_variable("v511"), &var[511]);
}

TEST_F(Config, FreeVariablesReleasesEverythingAndLeavesAUsableTable)
{
    const shell_test::HeapUse empty = shell_test::heap_use();
    init_variable("a", "1", TYPE_INT);
    init_variable("b", "text", TYPE_STR);
    free_variables();
    EXPECT_EQ(shell_test::heap_use(), empty);
    EXPECT_EQ(get_var_count(), 0);
    EXPECT_EQ(find_variable("a"), nullptr);
    init_variable("c", "3", TYPE_INT);
    EXPECT_EQ(find_variable("c"), &var[0]);
}

TEST_F(Config, StartGlobalConfigMakesTheRootTheOnlyEntry)
{
    start_global_config();
    ASSERT_EQ(current_directory.num_entries, 1u);
    ASSERT_NE(current_directory.entries, nullptr);
    EXPECT_STREQ(current_directory.entries[0].name, "/");
    EXPECT_EQ(current_directory.entries[0].dir_attrs, 0);
    EXPECT_EQ(current_directory.entries[0].first_cluster, 0u);
    EXPECT_EQ(current_directory.entries[0].file_size, 0u);
    EXPECT_EQ(current_directory.cluster, 0u);
    EXPECT_STREQ(current_directory_entry.name, "/");
    // It needs no heap: the array lies outside the heap area.
    const auto* entries = reinterpret_cast<const uint8_t*>(current_directory.entries);
    EXPECT_TRUE(entries < dynamic_mem_area || entries >= dynamic_mem_area + dynamic_mem_total_size);
}

} // namespace
