// The script compiler: a lexer and a one-pass parser-interpreter that runs a script's start function.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

enum TokenType : int32_t {
    TOKEN_INT = 0,
    TOKEN_ARROW = 1,
    TOKEN_IDENTIFIER = 2,
    TOKEN_EQUALS = 3,
    TOKEN_NUMBER = 4,
    TOKEN_FUNC = 5,
    TOKEN_LPAREN = 6,
    TOKEN_RPAREN = 7,
    TOKEN_LBRACKET = 8,
    TOKEN_RBRACKET = 9,
    TOKEN_PLUS = 10,
    TOKEN_COMMA = 11,
    TOKEN_COLON = 12,
    TOKEN_MINUS = 13,
    TOKEN_MULTIPLY = 14,
    TOKEN_DIVIDE = 15,
    TOKEN_RETURN = 16,
    TOKEN_EOF = 17,
    TOKEN_PRINT = 18,
    TOKEN_PRINT_INT = 19,
    TOKEN_STRING = 20,
    TOKEN_COMMENT = 21,
};
static_assert(sizeof(TokenType) == 4);

// An identifier or string token owns a heap block with its text; a number carries its
// value; every other token carries null.
struct Token {
    TokenType type;
    union {
        char* string_value;
        int32_t int_value;
    } value;
};

// The tables live in heap blocks, and the heap hands out blocks at any byte address, so
// the records are packed: the compiler then never assumes an alignment the heap does not give.
struct [[gnu::packed]] Variable {
    char* name; // owned
    int32_t value;
};

// `parameters` is a heap array of owned names; it may be unaligned, so read it through
// script_parameter() rather than by indexing.
struct [[gnu::packed]] Function {
    char* name;        // owned
    char** parameters; // owned, room for 10
    int32_t param_count;
    char* body; // owned copy of the text between the brackets
};
static_assert(sizeof(void*) != 4 || sizeof(Variable) == 8, "100 variables fill an 800-byte block");
static_assert(sizeof(void*) != 4 || sizeof(Function) == 16, "100 functions fill a 1600-byte block");

struct Lexer {
    const char* source; // owned by the caller
    int32_t pos;
    int32_t len;
    char current_char; // source[pos], or 0 once pos reaches len
    Variable* variables;
    int32_t var_count;
    Function* functions;
    int32_t func_count;
};

// Use in the order init_compiler, compile, free_compiler. init_compiler releases whatever
// an earlier run still holds and clears the error flag, so the module can be reused.
void init_compiler(const char* source);
// The caller owns the text block of an identifier or string token and frees it with mfree.
Token get_next_token();
void error_print(const char* message);
void free_compiler();

void compile();
void parse_variable_declaration();
void parse_function_declaration();
void parse_print_statement();
int32_t parse_expression();
bool find_start_function();
void execute_start_function();

// Read-only views of the compiler's state, for callers that need to know how the last
// compile ended and for tests.
bool script_has_error();
const Lexer& script_lexer();
// Tokens read since init_compiler: one pass over the text stays linear in its length.
uint32_t script_tokens_read();
// Parameter `index` of a recorded function (the array may sit at any byte address).
const char* script_parameter(const Function& function, int32_t index);

} // namespace tavix
