// The script compiler on the simulated screen: tokens, declarations, the start run, every
// message, the table limits and the heap left behind.
#include "general/cbreak.hpp"

#include "tests/fuzz/script_round_trip.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace tavix;

namespace {

// The non-empty screen rows, trailing blanks removed, joined with '\n'.
std::string screen_lines()
{
    std::string lines;
    for (int row = 0; row < 25; ++row) {
        std::string line = sim::screen_row_trimmed(row);
        if (!line.empty())
            lines += (lines.empty() ? "" : "\n") + line;
    }
    return lines;
}

class Script : public ::testing::Test {
protected:
    void SetUp() override
    {
        init_dmem();
        sim::reset();
        clean_heap = script_fuzz::heap_blocks();
    }

    void TearDown() override
    {
        free_compiler();
        EXPECT_EQ(script_fuzz::heap_blocks(), clean_heap) << "the compiler leaked heap blocks";
    }

    // Every token up to the end, blank-separated: keywords in angle brackets, identifiers
    // bare, numbers after '#', strings in quotes, punctuation as itself.
    std::string lex(std::string text)
    {
        static const char* const names[] = {"<int>", "->", "", "=", "", "<func>", "(", ")", "[", "]", "+",
                                            ",", ":", "-", "*", "/", "<return>", "", "<print>", "<print_int>"};
        source = std::move(text);
        sim::reset();
        init_compiler(source.c_str());
        std::string out;
        for (int guard = 0; guard < 10000; ++guard) {
            Token token = get_next_token();
            if (token.type == TOKEN_EOF)
                return out;
            out += out.empty() ? "" : " ";
            if (token.type == TOKEN_IDENTIFIER || token.type == TOKEN_STRING) {
                const std::string value = token.value.string_value;
                out += token.type == TOKEN_STRING ? '"' + value + '"' : value;
                tavix::mfree(token.value.string_value);
            } else if (token.type == TOKEN_NUMBER) {
                out += "#" + std::to_string(token.value.int_value);
            } else {
                EXPECT_EQ(token.value.string_value, nullptr) << "punctuation carries no value";
                out += names[token.type];
            }
        }
        ADD_FAILURE() << "the lexer never reached the end";
        return out;
    }

    std::string run(std::string text)
    {
        source = std::move(text);
        sim::reset();
        init_compiler(source.c_str());
        compile();
        return screen_lines();
    }

    script_fuzz::HeapBlocks clean_heap;
    std::string source; // outlives the compile: the lexer reads the caller's text in place
};

TEST_F(Script, Tokens)
{
    struct Row {
        const char* text;
        const char* tokens;
        int unknown; // "Error: Unknown character" reports
    };
    const Row rows[] = {
        {"", "", 0},
        {"a->b", "a -> b", 0},
        {"a - > b", "a - b", 1},
        {"-5-", "- #5 -", 0}, // no sign: the minus is a token of its own
        {"()*+,-=[]", "( ) * + , - = [ ]", 0},
        {"/:;{}<>.x", "x", 8},
        {"int func return print print_int printx Print prints_int integer",
         "<int> <func> <return> <print> <print_int> printx Print prints_int integer", 0},
        {"x1 a_b_\tc", "x #1 a_b_ c", 0},
        {"_a", "a", 1},
        {"a # b ( )\nc # last line", "a c", 0},
        {"#only", "", 0},
        {"a\r\nb\r\nc", "a b c", 2},
        {"\"a b\nc\"d \"open # not a comment", "\"a b\nc\" d \"open # not a comment\"", 0},
        {"\"\"", "\"\"", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(lex(row.text), row.tokens);
        EXPECT_EQ(get_next_token().type, TOKEN_EOF) << "the end stays the end";
        std::string reports;
        for (int i = 0; i < row.unknown; ++i)
            reports += (i == 0 ? "" : "\n") + std::string("Error: Unknown character");
        EXPECT_EQ(screen_lines(), reports);
        EXPECT_EQ(script_has_error(), row.unknown > 0);
    }
    lex("a->b");
    EXPECT_EQ(script_tokens_read(), 4u);
}

TEST_F(Script, OverlongWordsStringsAndNumbersAreCutAndSkipped)
{
    const std::string digits = std::string(31, '1') + std::string(20, '9');
    // Only the first 31 digits count; the conversion wraps like the machine's arithmetic.
    uint32_t number = 0;
    for (int i = 0; i < 31; ++i)
        number = number * 10 + 1;
    EXPECT_EQ(lex(std::string(150, 'w') + " \"" + std::string(300, 's') + "\" " + digits + " after"),
              std::string(99, 'w') + " \"" + std::string(255, 's') + "\" #" +
                  std::to_string(static_cast<int32_t>(number)) + " after");
}

TEST_F(Script, CompileAndRun)
{
    const std::string start0 = "Function declared: start (parameters: 0)\n";
    const std::string no_start = "Error: No entry point found! Function 'start()' is missing.";
    struct Row {
        std::string script;
        std::string output;
        bool error;
        int vars, funcs;
    };
    const Row rows[] = {
        {"# demo\nint -> x = 5\nfunc -> start() [\n  print(\"hello\")\n  print_int(x + 2)\n]\n",
         "Variable declared: x = 5\n" + start0 + "hello\n7", false, 1, 1},
        // "int" introduces a function when a name and "(" follow the arrow.
        {"int -> start(a) [ print_int(3) ] int -> y = 4",
         "Function declared: start (parameters: 1)\nVariable declared: y = 4\n3", false, 1, 1},
        // The body is lexed again and everything but the prints is skipped.
        {"int -> a = 1 func -> start() [ int -> a = 9 return a print_int(a) x y print(\"z\") ]",
         "Variable declared: a = 1\n" + start0 + "1\nz", false, 1, 1},
        {"int -> x = 1 int -> x = 2 func -> start() [ print_int(x) ]",
         "Variable declared: x = 1\nVariable declared: x = 2\n" + start0 + "1", false, 2, 1},
        // One precedence, grouped to the right.
        {"int -> t = 3 func -> start() [ print_int(10 - 3 - 2) print_int(2 * 3 + 4) print_int(t * t - 1) "
         "print_int(1 - t * 2) print_int(7) ]",
         "Variable declared: t = 3\n" + start0 + "9\n14\n6\n-5\n7", false, 1, 1},
        {"int -> m = 2147483647 func -> start() [ print_int(m + 1) print_int(65536 * 65536) "
         "print_int(0 - m - 0 - 1) print_int(99999 * 99999 * 99999) ]",
         "Variable declared: m = 2147483647\n" + start0 + "-2147483648\n0\n-2147483648\n-1465423905", false, 1, 1},
        // An undefined name counts as 0, ends the expression and stops the run.
        {"func -> start() [ print_int(y) print(\"never\") ]",
         start0 + "Undefined variable 'y'\n0Error: Expected ')' after print argument", true, 0, 1},
        {"func -> start() [ print_int(2 * 3 + q) ]",
         start0 + "Undefined variable 'q'\n6Error: Expected ')' after print argument", true, 0, 1},
        {"func -> start() [ print(\"%d %s %x %n 100%\") print(\"50%%\") ]", start0 + "%d %s %x %n 100%\n50%%",
         false, 0, 1},
        {"func -> start() [ print(\"x\") [ ]", "Error: Unmatched brackets in function body\n" + no_start, true, 0, 0},
        {"func -> start(a,b,c,d,e,f,g,h,i,j) [ print(\"ten\") ]", "Function declared: start (parameters: 10)\nten",
         false, 0, 1},
        {"func -> start(a,b,c,d,e,f,g,h,i,j,k,l) [ print(\"x\") ]", "Error: too many parameters\n" + no_start, true,
         0, 0},
        {"int x = 1", "Error: Expected '->' after 'int'", true, 0, 0},
        {"int -> = 5", "Error: Expected identifier after '->'", true, 0, 0},
        {"int -> x 5", "Error: Expected '=' after identifier", true, 0, 0},
        {"int -> x = \"text\"", "Error: Expected number after '='", true, 0, 0},
        {"func x", "Error: Expected '->' after type or 'func'", true, 0, 0},
        {"func -> (", "Error: Expected function name", true, 0, 0},
        {"func -> f [", "Error: Expected '(' after function declaration", true, 0, 0},
        {"int -> x = 1", "Variable declared: x = 1\n" + no_start, true, 1, 0},
        {"func -> start() [ print \"a\" ]", start0 + "Error: Excepted '(' after print function", true, 0, 1},
        {"func -> start() [ print(\"one\") print(,) print(\"three\") ]",
         start0 + "one\nError: Expected string, number or identifier in print function", true, 0, 1},
        {"func -> start() [ print(\"a\" \"b\") ]", start0 + "aError: Expected ')' after print argument", true, 0, 1},
        {"func -> start() [ print_int(1 + ) ]", start0 + "Error: Expected number or variable in expression", true,
         0, 1},
        // The token after ")" is read before the line ends, so the report follows the text.
        {"func -> start() [ print(\"a\"); ]", start0 + "aError: Unknown character", true, 0, 1},
        // The peek after "int ->" reports an unknown character once.
        {"int -> x ; = 5", "Error: Unknown character\nVariable declared: x = 5", true, 1, 0},
        // A broken function declaration is dropped and compiling goes on.
        {"func -> f(1) [ ] func -> start() [ print(\"ran\") ]", "Error: Expected parameter name\n" + start0 + "ran",
         false, 0, 1},
        {"func -> f(a b) [ ] func -> start() [ print(\"ran\") ]",
         "Error: Expected ',' or ')' after parameter\n" + start0 + "ran", false, 0, 1},
        {"func -> f(a,) [ ] func -> start() [ print(\"ran\") ]", "Error: Expected parameter name\n" + start0 + "ran",
         false, 0, 1},
        {"func -> f(a) x func -> start() [ print(\"ran\") ]",
         "Error: Expected '[' to start function body\n" + start0 + "ran", false, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script);
        EXPECT_EQ(run(row.script), row.output);
        EXPECT_EQ(script_has_error(), row.error);
        EXPECT_EQ(script_lexer().var_count, row.vars);
        EXPECT_EQ(script_lexer().func_count, row.funcs);
        free_compiler();
        EXPECT_EQ(script_fuzz::heap_blocks(), clean_heap);
    }
}

TEST_F(Script, FunctionRecordsParametersAndNestedBody)
{
    run("func -> f(a, b) [ x [ y ] [] z ] func -> start() [ ]");
    const Function& f = script_lexer().functions[0];
    EXPECT_STREQ(f.name, "f");
    EXPECT_EQ(f.param_count, 2);
    EXPECT_STREQ(script_parameter(f, 0), "a");
    EXPECT_STREQ(script_parameter(f, 1), "b");
    EXPECT_STREQ(f.body, " x [ y ] [] z ");
    EXPECT_STREQ(script_lexer().functions[1].body, " ");
}

TEST_F(Script, ColourEscapeTakesEffectUntilTheEndOfItsPrint)
{
    run("func -> start() [ print(\"ab<(1e)>cd\") print(\"e\") print(\"<(0c)>5%\") ]");
    EXPECT_EQ(sim::screen_row(1).substr(0, 4), "abcd");
    EXPECT_EQ(sim::attr_at(1, 1), 0x07);
    EXPECT_EQ(sim::attr_at(1, 2), 0x1E);
    EXPECT_EQ(sim::attr_at(1, 3), 0x1E);
    EXPECT_EQ(sim::attr_at(2, 0), 0x07);
    // With a "%" the text goes through the escaped copy, which keeps the colour.
    EXPECT_EQ(sim::screen_row(3).substr(0, 3), "5% ");
    EXPECT_EQ(sim::attr_at(3, 1), 0x0C);
}

// A "%" that printf takes as one of the two colour characters of an escape must not be
// doubled: the doubled one would fall after the escape and pair with the next character into a
// conversion that reads an argument the script never passed (found by the script fuzzer).
TEST_F(Script, PercentInsideAColourEscapeStaysPartOfTheEscape)
{
    run("func -> start() [ print(\"<(1%se)\") print(\"<(%s)>x%\") print(\"5%<(%\") ]");
    EXPECT_EQ(sim::screen_row(1).substr(0, 5), "<se) ") << "an unclosed escape swallows its two characters";
    EXPECT_EQ(sim::screen_row(2).substr(0, 3), "x% ") << "a closed escape with a \"%\" still sets a colour";
    EXPECT_EQ(sim::screen_row(3).substr(0, 4), "5%< ") << "an escape cut short ends the output";
}

TEST_F(Script, VeryLongExpressionNeedsNoDeepStack)
{
    constexpr int terms = 200000;
    std::string script = "func -> start() [ print_int(1";
    for (int i = 1; i < terms; ++i)
        script += "+1";
    const std::string out = run(script + ") ]");
    EXPECT_EQ(out.substr(out.rfind('\n') + 1), std::to_string(terms));
}

TEST_F(Script, RunningStartWithoutOneReportsIt)
{
    init_compiler("");
    execute_start_function();
    EXPECT_EQ(screen_lines(), "Error: start() function not found!");
    EXPECT_TRUE(script_has_error());
    EXPECT_FALSE(find_start_function());
}

std::string letters_for(int n)
{
    std::string name;
    do {
        name += static_cast<char>('a' + n % 26);
        n /= 26;
    } while (n != 0);
    return name;
}

std::string last_lines(const std::string& text, int n)
{
    size_t at = text.size();
    for (int i = 0; i < n && at != std::string::npos; ++i)
        at = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
    return at == std::string::npos ? text : text.substr(at + 1);
}

TEST_F(Script, TablesHoldAHundredEntries)
{
    std::string script;
    for (int i = 0; i < 103; ++i)
        script += "int -> v" + letters_for(i) + " = " + std::to_string(i) + "\n";
    script += "func -> start() [ print_int(v" + letters_for(99) + ") print_int(v" + letters_for(100) + ") ]";
    EXPECT_EQ(last_lines(run(script), 7), "Error: too many variables\nError: too many variables\n"
                                           "Error: too many variables\nFunction declared: start (parameters: 0)\n"
                                           "99\nUndefined variable 'vwd'\n0Error: Expected ')' after print argument");
    EXPECT_EQ(script_lexer().var_count, 100);

    script = "func -> start() [ print(\"ok\") ]\n";
    for (int i = 0; i < 100; ++i)
        script += "func -> f" + letters_for(i) + "(a) [ [] ]\n";
    EXPECT_EQ(last_lines(run(script), 3), "Function declared: fud (parameters: 1)\nError: too many functions\nok");
    EXPECT_EQ(script_lexer().func_count, 100);
}

TEST_F(Script, InitReleasesTheLastRunAndFreeCanBeRepeated)
{
    run("func -> start() [ print_int(nothing) ]"); // ends holding an identifier token
    EXPECT_EQ(run("func -> start() [ print(\"again\") ]"), "Function declared: start (parameters: 0)\nagain");
    EXPECT_FALSE(script_has_error());
    free_compiler();
    free_compiler();
    EXPECT_EQ(script_fuzz::heap_blocks(), clean_heap);
}

// With only `room` bytes left on the heap every allocation point fails somewhere in this
// sweep; the compiler must report it and hand every block back.
TEST_F(Script, HeapExhaustionIsReportedWithoutCrashing)
{
    const std::string script = "int -> x = 5 func -> start(a, b) [ print(\"50% <(0e)>y\") print_int(x) ] func -> g() [ ]";
    int out_of_memory = 0;
    int completed = 0;
    for (uint32_t room = 0; room < 3400; room += 2) {
        SCOPED_TRACE(room);
        init_dmem();
        void* filler = tavix::malloc(dynamic_mem_total_size - 2 * sizeof(dynamic_mem_node_t) - room);
        ASSERT_NE(filler, nullptr);
        const script_fuzz::HeapBlocks filled = script_fuzz::heap_blocks();
        const std::string out = run(script);
        free_compiler();
        EXPECT_EQ(script_fuzz::heap_blocks(), filled);
        tavix::mfree(filler);
        out_of_memory += out.find("Error: Out of memory") != std::string::npos ? 1 : 0;
        completed += out.ends_with("\n5") ? 1 : 0;
    }
    EXPECT_GT(out_of_memory, 0);
    EXPECT_GT(completed, 0);
    init_dmem();
}

} // namespace
