// The script compiler on the simulated screen: tokens, declarations, the start run, every
// error message, the table limits and the heap left behind.
#include "general/cbreak.hpp"

#include "cpu/mem.hpp"
#include "tests/sim/sim.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using namespace tavix;

namespace {

// The heap as a list of (size, used) blocks, checked for consistency on the way.
std::vector<std::pair<uint32_t, bool>> heap_blocks()
{
    std::vector<std::pair<uint32_t, bool>> blocks;
    uint64_t covered = 0;
    const dynamic_mem_node_t* prev = nullptr;
    for (const dynamic_mem_node_t* node = dynamic_mem_start; node != nullptr; node = node->next) {
        EXPECT_EQ(node->prev, prev) << "heap list broken";
        blocks.emplace_back(node->size, node->used);
        covered += node->size + sizeof(dynamic_mem_node_t);
        prev = node;
    }
    EXPECT_EQ(covered, dynamic_mem_total_size) << "heap blocks no longer tile the area";
    return blocks;
}

// Non-empty screen rows, top to bottom, trailing blanks removed.
std::vector<std::string> screen_lines()
{
    std::vector<std::string> lines;
    for (int row = 0; row < 25; ++row) {
        std::string line = sim::screen_row(row);
        line.erase(line.find_last_not_of(' ') + 1);
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

struct Lexed {
    TokenType type;
    std::string text; // identifier or string text, or the number in decimal
    bool operator==(const Lexed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Lexed& token)
{
    return out << "{" << token.type << ", \"" << token.text << "\"}";
}

class Script : public ::testing::Test {
protected:
    void SetUp() override
    {
        init_dmem();
        sim::reset();
        clean_heap = heap_blocks();
    }

    void TearDown() override
    {
        free_compiler();
        EXPECT_EQ(heap_blocks(), clean_heap) << "the compiler leaked heap blocks";
    }

    // Every token of the text up to the end (the end marker not included).
    std::vector<Lexed> lex(const char* text)
    {
        source = text;
        init_compiler(source.c_str());
        std::vector<Lexed> tokens;
        for (int guard = 0; guard < 10000; ++guard) {
            Token token = get_next_token();
            if (token.type == TOKEN_EOF)
                return tokens;
            if (token.type == TOKEN_IDENTIFIER || token.type == TOKEN_STRING) {
                tokens.push_back({token.type, token.value.string_value});
                tavix::mfree(token.value.string_value);
            } else if (token.type == TOKEN_NUMBER) {
                tokens.push_back({token.type, std::to_string(token.value.int_value)});
            } else {
                EXPECT_EQ(token.value.string_value, nullptr) << "punctuation carries no value";
                tokens.push_back({token.type, ""});
            }
        }
        ADD_FAILURE() << "the lexer never reached the end";
        return tokens;
    }

    std::vector<std::string> run(std::string text)
    {
        source = std::move(text);
        sim::reset();
        init_compiler(source.c_str());
        compile();
        return screen_lines();
    }

    std::vector<std::pair<uint32_t, bool>> clean_heap;
    std::string source; // outlives the compile: the lexer reads the caller's text in place
};

using Lines = std::vector<std::string>;

// ---- Lexer -------------------------------------------------------------------------------

TEST_F(Script, EmptyTextEndsAtOnceAndStaysEnded)
{
    init_compiler("");
    EXPECT_EQ(get_next_token().type, TOKEN_EOF);
    EXPECT_EQ(get_next_token().type, TOKEN_EOF);
    EXPECT_FALSE(script_has_error());
}

TEST_F(Script, ArrowMinusAndLoneGreaterThan)
{
    EXPECT_EQ(lex("a->b"), (std::vector<Lexed>{{TOKEN_IDENTIFIER, "a"}, {TOKEN_ARROW, ""}, {TOKEN_IDENTIFIER, "b"}}));
    EXPECT_FALSE(script_has_error());
    EXPECT_EQ(lex("a - > b"), (std::vector<Lexed>{{TOKEN_IDENTIFIER, "a"}, {TOKEN_MINUS, ""}, {TOKEN_IDENTIFIER, "b"}}));
    EXPECT_TRUE(script_has_error());
    EXPECT_EQ(screen_lines(), Lines{"Error: Unknown character"});
    // No sign: the minus is a token of its own.
    EXPECT_EQ(lex("-5-"), (std::vector<Lexed>{{TOKEN_MINUS, ""}, {TOKEN_NUMBER, "5"}, {TOKEN_MINUS, ""}}));
}

TEST_F(Script, EveryPunctuationCharacter)
{
    EXPECT_EQ(lex("()*+,-=[]"), (std::vector<Lexed>{{TOKEN_LPAREN, ""}, {TOKEN_RPAREN, ""}, {TOKEN_MULTIPLY, ""},
                                   {TOKEN_PLUS, ""}, {TOKEN_COMMA, ""}, {TOKEN_MINUS, ""}, {TOKEN_EQUALS, ""},
                                   {TOKEN_LBRACKET, ""}, {TOKEN_RBRACKET, ""}}));
}

TEST_F(Script, UnknownCharactersAreReportedOnceEachAndDropped)
{
    EXPECT_EQ(lex("/:;{}<>.x"), (std::vector<Lexed>{{TOKEN_IDENTIFIER, "x"}}));
    EXPECT_EQ(screen_lines(), Lines(8, "Error: Unknown character"));
}

TEST_F(Script, KeywordsMatchExactly)
{
    EXPECT_EQ(lex("int func return print print_int printx Print prints_int integer"),
              (std::vector<Lexed>{{TOKEN_INT, ""}, {TOKEN_FUNC, ""}, {TOKEN_RETURN, ""}, {TOKEN_PRINT, ""},
                                  {TOKEN_PRINT_INT, ""}, {TOKEN_IDENTIFIER, "printx"}, {TOKEN_IDENTIFIER, "Print"},
                                  {TOKEN_IDENTIFIER, "prints_int"}, {TOKEN_IDENTIFIER, "integer"}}));
}

TEST_F(Script, DigitsEndAWordAndUnderscoreCannotStartOne)
{
    EXPECT_EQ(lex("x1 a_b_"), (std::vector<Lexed>{{TOKEN_IDENTIFIER, "x"}, {TOKEN_NUMBER, "1"}, {TOKEN_IDENTIFIER, "a_b_"}}));
    EXPECT_FALSE(script_has_error());
    EXPECT_EQ(lex("_a"), (std::vector<Lexed>{{TOKEN_IDENTIFIER, "a"}}));
    EXPECT_TRUE(script_has_error());
}

TEST_F(Script, CommentsRunToTheEndOfTheLineOrText)
{
    EXPECT_EQ(lex("a # b ( )\nc # last line"), (std::vector<Lexed>{{TOKEN_IDENTIFIER, "a"}, {TOKEN_IDENTIFIER, "c"}}));
    EXPECT_EQ(lex("#only"), std::vector<Lexed>{});
    EXPECT_FALSE(script_has_error());
}

TEST_F(Script, CarriageReturnIsAnUnknownCharacterAtEveryLineEnd)
{
    EXPECT_EQ(lex("a\r\nb\r\nc"), (std::vector<Lexed>{{TOKEN_IDENTIFIER, "a"}, {TOKEN_IDENTIFIER, "b"}, {TOKEN_IDENTIFIER, "c"}}));
    EXPECT_EQ(screen_lines(), Lines(2, "Error: Unknown character"));
}

TEST_F(Script, StringsSpanLinesAndMayBeUnterminated)
{
    EXPECT_EQ(lex("\"a b\nc\"d \"open # not a comment"),
              (std::vector<Lexed>{{TOKEN_STRING, "a b\nc"}, {TOKEN_IDENTIFIER, "d"}, {TOKEN_STRING, "open # not a comment"}}));
    EXPECT_EQ(lex("\"\""), (std::vector<Lexed>{{TOKEN_STRING, ""}}));
}

TEST_F(Script, OverlongWordsStringsAndNumbersAreCutAndSkipped)
{
    const std::string word(150, 'w');
    const std::string text(300, 's');
    const std::string digits = std::string(31, '1') + std::string(20, '9');
    const std::string script = word + " \"" + text + "\" " + digits + " after";
    std::vector<Lexed> tokens = lex(script.c_str());
    ASSERT_EQ(tokens.size(), 4u);
    EXPECT_EQ(tokens[0], (Lexed{TOKEN_IDENTIFIER, std::string(99, 'w')}));
    EXPECT_EQ(tokens[1], (Lexed{TOKEN_STRING, std::string(255, 's')}));
    // Only the first 31 digits count; the conversion wraps like the machine's arithmetic.
    uint32_t expected = 0;
    for (int i = 0; i < 31; ++i)
        expected = expected * 10 + 1;
    EXPECT_EQ(tokens[2], (Lexed{TOKEN_NUMBER, std::to_string(static_cast<int32_t>(expected))}));
    EXPECT_EQ(tokens[3], (Lexed{TOKEN_IDENTIFIER, "after"}));
}

// ---- Declarations and the start run --------------------------------------------------------

TEST_F(Script, DeclaresThenRunsStart)
{
    EXPECT_EQ(run("# demo\nint -> x = 5\nfunc -> start() [\n  print(\"hello\")\n  print_int(x + 2)\n]\n"),
              (Lines{"Variable declared: x = 5", "Function declared: start (parameters: 0)", "hello", "7"}));
    EXPECT_FALSE(script_has_error());
    EXPECT_EQ(script_lexer().var_count, 1);
    EXPECT_EQ(script_lexer().func_count, 1);
}

TEST_F(Script, IntIntroducesAFunctionWhenNameAndParenthesisFollow)
{
    EXPECT_EQ(run("int -> start(a) [ print_int(3) ] int -> y = 4"),
              (Lines{"Function declared: start (parameters: 1)", "Variable declared: y = 4", "3"}));
}

TEST_F(Script, StartIsLexedAgainAndSkipsEverythingButPrints)
{
    EXPECT_EQ(run("int -> a = 1 func -> start() [ int -> a = 9 return a print_int(a) x y print(\"z\") ]"),
              (Lines{"Variable declared: a = 1", "Function declared: start (parameters: 0)", "1", "z"}));
    EXPECT_EQ(script_lexer().var_count, 1) << "a declaration inside a body declares nothing";
}

TEST_F(Script, FirstDeclarationWins)
{
    EXPECT_EQ(run("int -> x = 1 int -> x = 2 func -> start() [ print_int(x) ]").back(), "1");
    EXPECT_EQ(script_lexer().var_count, 2);
}

TEST_F(Script, OperatorsGroupToTheRightWithOnePrecedence)
{
    EXPECT_EQ(run("int -> t = 3 func -> start() [ print_int(10 - 3 - 2) print_int(2 * 3 + 4) print_int(t * t - 1) "
                  "print_int(1 - t * 2) print_int(7) ]"),
              (Lines{"Variable declared: t = 3", "Function declared: start (parameters: 0)", "9", "14", "6", "-5", "7"}));
}

TEST_F(Script, ArithmeticWrapsAt32Bits)
{
    const uint32_t cube = 99999u * 99999u * 99999u;
    EXPECT_EQ(run("int -> m = 2147483647 func -> start() [ print_int(m + 1) print_int(65536 * 65536) "
                  "print_int(0 - m - 0 - 1) print_int(99999 * 99999 * 99999) ]"),
              (Lines{"Variable declared: m = 2147483647", "Function declared: start (parameters: 0)", "-2147483648",
                     "0", "-2147483648", std::to_string(static_cast<int32_t>(cube))}));
}

TEST_F(Script, VeryLongExpressionNeedsNoDeepStack)
{
    constexpr int terms = 200000;
    std::string script = "func -> start() [ print_int(1";
    for (int i = 1; i < terms; ++i)
        script += "+1";
    script += ") ]";
    EXPECT_EQ(run(script).back(), std::to_string(terms));
}

TEST_F(Script, UndefinedVariableCountsAsZeroAndStopsTheRun)
{
    EXPECT_EQ(run("func -> start() [ print_int(y) print(\"never\") ]"),
              (Lines{"Function declared: start (parameters: 0)", "Undefined variable 'y'",
                     "0Error: Expected ')' after print argument"}));
    EXPECT_TRUE(script_has_error());
    // Later in an expression the unknown name still ends it with the value so far.
    EXPECT_EQ(run("func -> start() [ print_int(2 * 3 + q) ]"),
              (Lines{"Function declared: start (parameters: 0)", "Undefined variable 'q'",
                     "6Error: Expected ')' after print argument"}));
}

TEST_F(Script, FunctionRecordsParametersAndNestedBody)
{
    EXPECT_EQ(run("func -> f(a, b) [ x [ y ] [] z ] func -> start() [ ]"),
              (Lines{"Function declared: f (parameters: 2)", "Function declared: start (parameters: 0)"}));
    const Function& f = script_lexer().functions[0];
    EXPECT_STREQ(f.name, "f");
    EXPECT_EQ(f.param_count, 2);
    EXPECT_STREQ(script_parameter(f, 0), "a");
    EXPECT_STREQ(script_parameter(f, 1), "b");
    EXPECT_STREQ(f.body, " x [ y ] [] z ");
    EXPECT_STREQ(script_lexer().functions[1].body, " ");
}

TEST_F(Script, UnmatchedBodyRecordsNothingAndReachesTheEnd)
{
    EXPECT_EQ(run("func -> start() [ print(\"x\") [ ]"),
              (Lines{"Error: Unmatched brackets in function body",
                     "Error: No entry point found! Function 'start()' is missing."}));
    EXPECT_EQ(script_lexer().func_count, 0);
}

TEST_F(Script, ColourEscapeInAStringTakesEffect)
{
    run("func -> start() [ print(\"ab<(1e)>cd\") print(\"e\") ]");
    // Rows: the announcement, then the two printed lines.
    EXPECT_EQ(sim::screen_row(1).substr(0, 4), "abcd");
    EXPECT_EQ(sim::attr_at(1, 1), 0x07);
    EXPECT_EQ(sim::attr_at(1, 2), 0x1E);
    EXPECT_EQ(sim::attr_at(1, 3), 0x1E);
    EXPECT_EQ(sim::attr_at(2, 0), 0x07) << "the colour ends with its print";
}

TEST_F(Script, PercentInAStringIsPrintedAsIs)
{
    EXPECT_EQ(run("func -> start() [ print(\"%d %s %x %n 100%\") print(\"<(0c)>50%%\") ]"),
              (Lines{"Function declared: start (parameters: 0)", "%d %s %x %n 100%", "50%%"}));
    EXPECT_EQ(sim::attr_at(2, 0), 0x0C);
    EXPECT_EQ(sim::attr_at(2, 3), 0x0C);
}

// ---- The message table ---------------------------------------------------------------------

struct Failure {
    const char* script;
    const char* last_line;
    bool sets_error;
};

TEST_F(Script, EveryMessageAndWhetherItEndsTheCompile)
{
    const Failure cases[] = {
        {"int x = 1", "Error: Expected '->' after 'int'", true},
        {"int -> = 5", "Error: Expected identifier after '->'", true},
        {"int -> x 5", "Error: Expected '=' after identifier", true},
        {"int -> x = y", "Error: Expected number after '='", true},
        {"func x", "Error: Expected '->' after type or 'func'", true},
        {"func -> (", "Error: Expected function name", true},
        {"func -> f [", "Error: Expected '(' after function declaration", true},
        {"int -> x = 1", "Error: No entry point found! Function 'start()' is missing.", true},
        {"func -> start() [ print \"a\" ]", "Error: Excepted '(' after print function", true},
        {"func -> start() [ print(,) ]", "Error: Expected string, number or identifier in print function", true},
        {"func -> start() [ print(\"a\" \"b\") ]", "aError: Expected ')' after print argument", true},
        {"func -> start() [ print_int(1 + ) ]", "Error: Expected number or variable in expression", true},
        // The token after ")" is read before the line ends, so the report follows the text.
        {"func -> start() [ print(\"a\"); ]", "aError: Unknown character", true},
    };
    for (const Failure& failure : cases) {
        SCOPED_TRACE(failure.script);
        Lines lines = run(failure.script);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), failure.last_line);
        EXPECT_EQ(script_has_error(), failure.sets_error);
    }
}

TEST_F(Script, BrokenFunctionDeclarationsAreDroppedAndCompilingGoesOn)
{
    const char* const start = " func -> start() [ print(\"ran\") ]";
    const std::pair<const char*, const char*> cases[] = {
        {"func -> f(1) [ ]", "Error: Expected parameter name"},
        {"func -> f(a b) [ ]", "Error: Expected ',' or ')' after parameter"},
        {"func -> f(a,) [ ]", "Error: Expected parameter name"},
        {"func -> f(a) x", "Error: Expected '[' to start function body"},
    };
    for (const auto& [broken, message] : cases) {
        SCOPED_TRACE(broken);
        EXPECT_EQ(run(std::string(broken) + start),
                  (Lines{message, "Function declared: start (parameters: 0)", "ran"}));
        EXPECT_FALSE(script_has_error());
        EXPECT_EQ(script_lexer().func_count, 1);
    }
}

TEST_F(Script, AnErrorStopsTheRunBeforeTheRestOfTheBody)
{
    EXPECT_EQ(run("func -> start() [ print(\"one\") print(+) print(\"three\") ]"),
              (Lines{"Function declared: start (parameters: 0)", "one",
                     "Error: Expected string, number or identifier in print function"}));
}

TEST_F(Script, RunningStartWithoutOneReportsIt)
{
    init_compiler("");
    execute_start_function();
    EXPECT_EQ(screen_lines(), Lines{"Error: start() function not found!"});
    EXPECT_TRUE(script_has_error());
    EXPECT_FALSE(find_start_function());
}

TEST_F(Script, PeekAfterIntReportsAnUnknownCharacterOnce)
{
    EXPECT_EQ(run("int -> x ; = 5"), (Lines{"Error: Unknown character", "Variable declared: x = 5"}));
    EXPECT_TRUE(script_has_error());
}

// ---- Limits ----------------------------------------------------------------------------------

std::string letters_for(int n)
{
    std::string name;
    do {
        name += static_cast<char>('a' + n % 26);
        n /= 26;
    } while (n != 0);
    return name;
}

TEST_F(Script, TheHundredAndFirstVariableIsDropped)
{
    std::string script;
    for (int i = 0; i < 103; ++i)
        script += "int -> v" + letters_for(i) + " = " + std::to_string(i) + "\n";
    script += "func -> start() [ print_int(v" + letters_for(99) + ") print_int(v" + letters_for(100) + ") ]";
    Lines lines = run(script);
    EXPECT_EQ(script_lexer().var_count, 100);
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(Lines(lines.end() - 7, lines.end()),
              (Lines{"Error: too many variables", "Error: too many variables", "Error: too many variables",
                     "Function declared: start (parameters: 0)", "99", "Undefined variable 'vwd'",
                     "0Error: Expected ')' after print argument"}));
}

TEST_F(Script, TheHundredAndFirstFunctionIsDropped)
{
    std::string script = "func -> start() [ print(\"ok\") ]\n";
    for (int i = 0; i < 100; ++i)
        script += "func -> f" + letters_for(i) + "(a) [ [] ]\n";
    Lines lines = run(script);
    EXPECT_EQ(script_lexer().func_count, 100);
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{"Function declared: fud (parameters: 1)", "Error: too many functions", "ok"}));
}

TEST_F(Script, AnEleventhParameterDropsTheFunction)
{
    EXPECT_EQ(run("func -> start(a,b,c,d,e,f,g,h,i,j) [ print(\"ten\") ]"),
              (Lines{"Function declared: start (parameters: 10)", "ten"}));
    EXPECT_STREQ(script_parameter(script_lexer().functions[0], 9), "j");
    EXPECT_EQ(run("func -> start(a,b,c,d,e,f,g,h,i,j,k,l) [ print(\"x\") ]"),
              (Lines{"Error: too many parameters", "Error: No entry point found! Function 'start()' is missing."}));
    EXPECT_EQ(script_lexer().func_count, 0);
}

// ---- Lifecycle and the heap -----------------------------------------------------------------

TEST_F(Script, FreeAndInitAgainLeaveTheHeapAsItWas)
{
    const char* const scripts[] = {
        "int -> x = 5 func -> start(p, q) [ print(\"s\") print_int(x * 2) ]",
        "func -> start() [ print_int(nothing) ]", // ends holding an identifier token
        "func -> f(a, b c) [ ] func -> g(a) [ [ ]", // dropped declarations
        "int -> x = \"text\"",                       // ends holding a string token
        "func -> start() [ print(\"50%\") ]",
        "int -> x 5",
    };
    for (const char* script : scripts) {
        SCOPED_TRACE(script);
        run(script);
        free_compiler();
        EXPECT_EQ(heap_blocks(), clean_heap);
    }
    free_compiler(); // a second release finds nothing to release
    EXPECT_EQ(heap_blocks(), clean_heap);
}

TEST_F(Script, ACompileAfterAFailedOneRunsNormally)
{
    EXPECT_EQ(run("int oops").back(), "Error: Expected '->' after 'int'");
    // No free_compiler in between: init_compiler releases what the last run held.
    EXPECT_EQ(run("func -> start() [ print(\"again\") ]"),
              (Lines{"Function declared: start (parameters: 0)", "again"}));
    EXPECT_FALSE(script_has_error());
}

TEST_F(Script, TokenCountStaysLinearInTheText)
{
    const std::string script = "int -> a = 1 int -> b = 2 func -> g(x) [ print(x) ] func -> start() [ print_int(a+b) ]";
    run(script);
    EXPECT_GT(script_tokens_read(), 20u);
    EXPECT_LE(script_tokens_read(), 3 * script.size());
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
        const auto filled = heap_blocks();
        Lines lines = run(script);
        free_compiler();
        EXPECT_EQ(heap_blocks(), filled);
        tavix::mfree(filler);
        for (const std::string& line : lines)
            out_of_memory += line == "Error: Out of memory" ? 1 : 0;
        completed += !lines.empty() && lines.back() == "5" ? 1 : 0;
    }
    EXPECT_GT(out_of_memory, 0);
    EXPECT_GT(completed, 0);
    init_dmem();
}

} // namespace
