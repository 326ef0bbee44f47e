// The script compiler: a lexer and a one-pass parser-interpreter that runs a script's start function.
#include "general/cbreak.hpp"

#include "cpu/buffer.hpp"
#include "cpu/mem.hpp"
#include "cpu/string.hpp"
#include "drivers/display.hpp"
#include "general/stdio.hpp"

namespace tavix {

namespace {

constexpr int32_t max_variables = 100;
constexpr int32_t max_functions = 100;
constexpr int32_t max_parameters = 10;

// Text blocks, terminator included: longer words, strings and numbers are cut to fit and
// the rest of them is read and dropped, so lexing stays in step with the text.
constexpr int32_t word_block_bytes = 100;
constexpr int32_t string_block_bytes = 256;
constexpr int32_t number_buffer_bytes = 32;

constexpr const char start_function_name[] = "start";

struct Punctuation {
    char character;
    TokenType type;
};

constexpr Punctuation punctuation_table[] = {
    {'(', TOKEN_LPAREN},   {')', TOKEN_RPAREN}, {'*', TOKEN_MULTIPLY},
    {'+', TOKEN_PLUS},     {',', TOKEN_COMMA},  {'-', TOKEN_MINUS},
    {'=', TOKEN_EQUALS},   {'[', TOKEN_LBRACKET}, {']', TOKEN_RBRACKET},
};

struct Keyword {
    const char* text;
    TokenType type;
};

constexpr Keyword keyword_table[] = {
    {"int", TOKEN_INT},       {"func", TOKEN_FUNC},           {"return", TOKEN_RETURN},
    {"print", TOKEN_PRINT},   {"print_int", TOKEN_PRINT_INT},
};

constinit Lexer lexer{};
constinit Token current_token{TOKEN_EOF, {nullptr}};
constinit bool has_error = false;
constinit uint32_t tokens_read = 0;
// While compile peeks past "int ->" the text is read twice; an unknown character met in
// the peek is reported when the declaration itself reads it, so it is reported once.
constinit bool peeking = false;

Token simple_token(TokenType type)
{
    Token token{};
    token.type = type;
    token.value.string_value = nullptr;
    return token;
}

bool owns_text(const Token& token) { return token.type == TOKEN_IDENTIFIER || token.type == TOKEN_STRING; }

void release_text(Token& token)
{
    if (owns_text(token)) {
        mfree(token.value.string_value);
        token.value.string_value = nullptr;
    }
}

// Moves the current token's text block to the caller, who then owns it.
char* take_text()
{
    char* text = current_token.value.string_value;
    current_token.value.string_value = nullptr;
    return text;
}

// The parser's only way to read on: the previous token's text is not kept anywhere else.
void next_token()
{
    release_text(current_token);
    current_token = get_next_token();
}

// Reads on and checks what came; false (with `message` reported, and the run stopped) when the
// next token is not `type`.
bool expect_next(TokenType type, const char* message)
{
    next_token();
    if (current_token.type == type)
        return true;
    error_print(message);
    return false;
}

void advance()
{
    if (lexer.pos < lexer.len)
        ++lexer.pos;
    lexer.current_char = lexer.pos < lexer.len ? lexer.source[lexer.pos] : 0;
}

void skip_whitespace()
{
    while (lexer.current_char == ' ' || lexer.current_char == '\n' || lexer.current_char == '\t')
        advance();
}

bool is_word_char(char c) { return isalpha(c) || c == '_'; }

// Reads the characters `accept` takes, keeping the first capacity - 1 of them (and a NUL) in
// `out`: an overlong word or number is read past whole, never split into two tokens.
void read_while(bool (*accept)(char), char* out, int32_t capacity)
{
    int32_t length = 0;
    while (accept(lexer.current_char)) {
        if (length < capacity - 1)
            out[length++] = lexer.current_char;
        advance();
    }
    out[length] = 0;
}

void get_identifier(char* word) { read_while(is_word_char, word, word_block_bytes); }

int32_t get_number()
{
    char digits[number_buffer_bytes];
    read_while([](char c) { return isdigit(c) != 0; }, digits, number_buffer_bytes);
    return atoi(digits);
}

// Returns null (with the string still read past) when the heap has no room for it.
char* get_string()
{
    char* text = static_cast<char*>(malloc(string_block_bytes));
    int32_t length = 0;
    advance();
    while (lexer.current_char != 0 && lexer.current_char != '"') {
        if (text != nullptr && length < string_block_bytes - 1)
            text[length++] = lexer.current_char;
        advance();
    }
    if (text != nullptr)
        text[length] = 0;
    if (lexer.current_char == '"')
        advance();
    return text;
}

// A token carrying heap text; the end of input when the text could not be had, so that
// the parse stops.
Token text_token(TokenType type, char* text)
{
    if (text == nullptr) {
        error_print("Out of memory");
        return simple_token(TOKEN_EOF);
    }
    Token token = simple_token(type);
    token.value.string_value = text;
    return token;
}

Token word_token()
{
    char word[word_block_bytes];
    get_identifier(word);
    for (const Keyword& keyword : keyword_table) {
        if (strcmp(word, keyword.text) == 0)
            return simple_token(keyword.type);
    }
    return text_token(TOKEN_IDENTIFIER, strdup(word));
}

Token string_token() { return text_token(TOKEN_STRING, get_string()); }

Token number_token()
{
    Token token = simple_token(TOKEN_NUMBER);
    token.value.int_value = get_number();
    return token;
}

bool punctuation_token(char c, Token* token)
{
    for (const Punctuation& entry : punctuation_table) {
        if (entry.character != c)
            continue;
        advance();
        if (c == '-' && lexer.current_char == '>') {
            advance();
            *token = simple_token(TOKEN_ARROW);
        } else {
            *token = simple_token(entry.type);
        }
        return true;
    }
    return false;
}

void store_parameter(char** parameters, int32_t index, char* name)
{
    copy_bytes(parameters + index, &name, sizeof name);
}

void release_function(const Function& function)
{
    mfree(function.name);
    for (int32_t i = 0; i < function.param_count; ++i)
        mfree(const_cast<char*>(script_parameter(function, i)));
    mfree(function.parameters);
    mfree(function.body);
}

const Variable* find_variable(const char* name)
{
    for (int32_t i = 0; i < lexer.var_count; ++i) {
        if (strcmp(lexer.variables[i].name, name) == 0)
            return &lexer.variables[i];
    }
    return nullptr;
}

const Function* find_function(const char* name)
{
    for (int32_t i = 0; i < lexer.func_count && !has_error; ++i) {
        if (strcmp(lexer.functions[i].name, name) == 0)
            return &lexer.functions[i];
    }
    return nullptr;
}

// A string argument is printed as a format so that its colour escapes work, but with every
// "%" outside an escape doubled: printf must not look for arguments that the script cannot
// pass. A "%" inside an escape is one of its colour characters and stays single, or its double
// would fall after the escape and start a conversion.
void print_literal(const char* text)
{
    int32_t percents = 0;
    int32_t length = 0;
    for (; text[length] != 0; ++length)
        percents += text[length] == '%' ? 1 : 0;
    if (percents == 0) {
        printf(text);
        return;
    }
    heap_block format(static_cast<size_t>(length + percents + 1));
    if (!format) {
        // Without room for the escaped copy the colours are lost, but nothing is misread.
        printf("%s", text);
        return;
    }
    char* out = format.as<char>();
    for (int32_t i = 0; i < length;) {
        if (int32_t span = colour_escape_span(text + i); span > 0) {
            for (int32_t end = i + span; i < end; ++i)
                *out++ = text[i];
            continue;
        }
        *out++ = text[i];
        if (text[i] == '%')
            *out++ = '%';
        ++i;
    }
    *out = 0;
    printf(format.as<char>());
}

// Decides between a function and a variable declaration by peeking at the two tokens after
// "->", then puts the lexer back just after "int" for the declaration to read it again.
void declaration_after_int()
{
    const int32_t saved_pos = lexer.pos;
    const char saved_char = lexer.current_char;

    if (!expect_next(TOKEN_ARROW, "Expected '->' after 'int'"))
        return;
    peeking = true;
    Token name = get_next_token();
    Token after = get_next_token();
    peeking = false;
    const bool is_function = name.type == TOKEN_IDENTIFIER && after.type == TOKEN_LPAREN;
    release_text(name);
    release_text(after);

    lexer.pos = saved_pos;
    lexer.current_char = saved_char;
    if (has_error)
        return;
    if (is_function)
        parse_function_declaration();
    else
        parse_variable_declaration();
}

} // namespace

void init_compiler(const char* source)
{
    free_compiler();
    has_error = false;
    tokens_read = 0;

    lexer.source = source;
    lexer.pos = 0;
    lexer.len = source != nullptr ? strlen(source) : 0;
    lexer.current_char = lexer.len > 0 ? source[0] : 0;

    lexer.variables = static_cast<Variable*>(malloc(max_variables * sizeof(Variable)));
    lexer.functions = static_cast<Function*>(malloc(max_functions * sizeof(Function)));
    if (lexer.variables == nullptr || lexer.functions == nullptr) {
        mfree(lexer.variables);
        mfree(lexer.functions);
        lexer.variables = nullptr;
        lexer.functions = nullptr;
        error_print("Out of memory");
    }
}

Token get_next_token()
{
    ++tokens_read;
    // Comments and unknown characters are dropped here in a loop rather than by reading the
    // next token recursively: a long run of them must not eat the kernel stack.
    for (;;) {
        skip_whitespace();
        const char c = lexer.current_char;
        if (c == 0)
            return simple_token(TOKEN_EOF);
        if (c == '#') {
            while (lexer.current_char != 0 && lexer.current_char != '\n')
                advance();
            continue;
        }
        if (isalpha(c))
            return word_token();
        if (c == '"')
            return string_token();
        if (isdigit(c))
            return number_token();
        Token token;
        if (punctuation_token(c, &token))
            return token;
        if (!peeking)
            error_print("Unknown character");
        advance();
    }
}

void error_print(const char* message)
{
    printf("Error: %s\n", message);
    has_error = true;
}

void free_compiler()
{
    release_text(current_token);
    current_token = simple_token(TOKEN_EOF);

    if (lexer.variables != nullptr) {
        for (int32_t i = 0; i < lexer.var_count; ++i)
            mfree(lexer.variables[i].name);
        mfree(lexer.variables);
    }
    if (lexer.functions != nullptr) {
        for (int32_t i = 0; i < lexer.func_count; ++i)
            release_function(lexer.functions[i]);
        mfree(lexer.functions);
    }
    // Forget the released tables so that a second free or a later compile cannot touch them.
    lexer.variables = nullptr;
    lexer.var_count = 0;
    lexer.functions = nullptr;
    lexer.func_count = 0;
}

void compile()
{
    next_token();
    while (current_token.type != TOKEN_EOF && !has_error) {
        switch (current_token.type) {
        case TOKEN_INT:
            declaration_after_int();
            break;
        case TOKEN_FUNC:
            parse_function_declaration();
            break;
        default:
            next_token();
            break;
        }
    }
    if (has_error)
        return;
    if (!find_start_function())
        error_print("No entry point found! Function 'start()' is missing.");
    else
        execute_start_function();
}

void parse_variable_declaration()
{
    if (!expect_next(TOKEN_ARROW, "Expected '->' after 'int'") ||
        !expect_next(TOKEN_IDENTIFIER, "Expected identifier after '->'"))
        return;
    char* name = take_text();
    if (!expect_next(TOKEN_EQUALS, "Expected '=' after identifier") ||
        !expect_next(TOKEN_NUMBER, "Expected number after '='")) {
        mfree(name);
        return;
    }
    const int32_t value = current_token.value.int_value;
    if (lexer.variables == nullptr || lexer.var_count >= max_variables) {
        printf("Error: too many variables\n");
        mfree(name);
        return;
    }
    lexer.variables[lexer.var_count].name = name;
    lexer.variables[lexer.var_count].value = value;
    ++lexer.var_count;
    printf("Variable declared: %s = %d\n", name, value);
}

namespace {

// The parameter list of a declaration, read up to its ")". Extra names beyond the table are
// still read, so that the body is found; *too_many says the declaration must be dropped.
// False (with the message printed) when the list is malformed.
bool read_parameters(char** parameters, int32_t* count, bool* too_many)
{
    next_token();
    if (current_token.type == TOKEN_RPAREN)
        return true;
    for (;;) {
        if (current_token.type != TOKEN_IDENTIFIER) {
            printf("Error: Expected parameter name\n");
            return false;
        }
        if (*count < max_parameters)
            store_parameter(parameters, (*count)++, take_text());
        else
            *too_many = true;
        next_token();
        if (current_token.type == TOKEN_COMMA) {
            next_token();
            continue;
        }
        if (current_token.type == TOKEN_RPAREN)
            return true;
        kprint("Error: Expected ',' or ')' after parameter\n");
        return false;
    }
}

// The text between "[" and its matching "]", as a heap string; null (with the message
// printed) when the brackets do not match or the heap has no room.
char* read_function_body()
{
    const int32_t body_start = lexer.pos;
    int32_t depth = 1;
    while (depth > 0 && lexer.current_char != 0) {
        if (lexer.current_char == '[')
            ++depth;
        else if (lexer.current_char == ']')
            --depth;
        advance();
    }
    if (depth != 0) {
        kprint("Error: Unmatched brackets in function body\n");
        return nullptr;
    }
    // The lexer stands just past the closing bracket, which the body leaves out.
    const int32_t body_length = lexer.pos - 1 - body_start;
    heap_block body(static_cast<size_t>(body_length + 1));
    if (!body) {
        error_print("Out of memory");
        return nullptr;
    }
    copy_bytes(body.data(), lexer.source + body_start, static_cast<size_t>(body_length));
    body.data()[body_length] = 0;
    return reinterpret_cast<char*>(body.release());
}

} // namespace

// What a declaration has read so far. It is released when it goes out of scope, on every
// way out of the parser, unless it was taken into the function table.
struct pending_function {
    Function parts{};
    ~pending_function() { release_function(parts); }
};

void parse_function_declaration()
{
    pending_function pending;
    Function& parts = pending.parts;
    parts.parameters = static_cast<char**>(malloc(max_parameters * sizeof(char*)));
    if (parts.parameters == nullptr) {
        error_print("Out of memory");
        return;
    }
    bool too_many_parameters = false;

    if (!expect_next(TOKEN_ARROW, "Expected '->' after type or 'func'") ||
        !expect_next(TOKEN_IDENTIFIER, "Expected function name"))
        return;
    parts.name = take_text();
    if (!expect_next(TOKEN_LPAREN, "Expected '(' after function declaration"))
        return;
    int32_t param_count = 0;
    bool read = read_parameters(parts.parameters, &param_count, &too_many_parameters);
    parts.param_count = param_count;
    if (!read)
        return;
    next_token();
    if (current_token.type != TOKEN_LBRACKET) {
        kprint("Error: Expected '[' to start function body\n");
        return;
    }
    parts.body = read_function_body();
    if (parts.body == nullptr)
        return;
    if (too_many_parameters || lexer.functions == nullptr || lexer.func_count >= max_functions) {
        printf(too_many_parameters ? "Error: too many parameters\n" : "Error: too many functions\n");
        return;
    }
    lexer.functions[lexer.func_count++] = parts;
    printf("Function declared: %s (parameters: %d)\n", parts.name, parts.param_count);
    parts = Function{};
}

void parse_print_statement()
{
    if (!expect_next(TOKEN_LPAREN, "Excepted '(' after print function"))
        return;
    next_token();
    if (current_token.type == TOKEN_STRING) {
        print_literal(current_token.value.string_value);
        next_token();
    } else if (current_token.type == TOKEN_NUMBER || current_token.type == TOKEN_IDENTIFIER) {
        const int32_t value = parse_expression();
        // A malformed expression has no value worth printing; the run stops here.
        if (has_error)
            return;
        printf("%d", value);
    } else {
        error_print("Expected string, number or identifier in print function");
        return;
    }
    if (current_token.type != TOKEN_RPAREN) {
        error_print("Expected ')' after print argument");
        return;
    }
    next_token();
    printf("\n");
}

// All operators share one precedence and group to the right: a - b - c is a - (b - c).
// Rather than recursing once per operator (a long expression would overrun the kernel
// stack), the value is kept as constant + factor * (value of the rest), which each operand
// and operator update in turn. The arithmetic is unsigned so that it wraps like the
// machine's 32-bit registers.
int32_t parse_expression()
{
    uint32_t constant = 0;
    uint32_t factor = 1;
    for (;;) {
        uint32_t operand = 0;
        if (current_token.type == TOKEN_NUMBER) {
            operand = static_cast<uint32_t>(current_token.value.int_value);
        } else if (current_token.type == TOKEN_IDENTIFIER) {
            const Variable* variable = find_variable(current_token.value.string_value);
            if (variable == nullptr) {
                // The unknown name counts as 0 and ends the expression where it stands.
                printf("Undefined variable '%s'\n", current_token.value.string_value);
                return static_cast<int32_t>(constant);
            }
            operand = static_cast<uint32_t>(variable->value);
        } else {
            error_print("Expected number or variable in expression");
            return static_cast<int32_t>(constant);
        }

        next_token();
        switch (current_token.type) {
        case TOKEN_PLUS:
            constant += factor * operand;
            break;
        case TOKEN_MINUS:
            constant += factor * operand;
            factor = 0u - factor;
            break;
        case TOKEN_MULTIPLY:
            factor *= operand;
            break;
        default:
            return static_cast<int32_t>(constant + factor * operand);
        }
        next_token();
    }
}

bool find_start_function()
{
    for (int32_t i = 0; i < lexer.func_count; ++i) {
        if (strcmp(lexer.functions[i].name, start_function_name) == 0)
            return true;
    }
    return false;
}

void execute_start_function()
{
    const Function* start = find_function(start_function_name);
    if (start == nullptr) {
        if (!has_error)
            error_print("start() function not found!");
        return;
    }

    const char* saved_source = lexer.source;
    const int32_t saved_len = lexer.len;
    const int32_t saved_pos = lexer.pos;
    const char saved_char = lexer.current_char;

    lexer.source = start->body;
    lexer.len = strlen(start->body);
    lexer.pos = 0;
    lexer.current_char = start->body[0];

    // A print statement leaves the token after its ")" in current_token; that token is looked
    // at next rather than read over, or a print right after another would be skipped.
    next_token();
    while (current_token.type != TOKEN_EOF && !has_error) {
        if (current_token.type == TOKEN_PRINT || current_token.type == TOKEN_PRINT_INT)
            parse_print_statement();
        else
            next_token();
    }

    lexer.source = saved_source;
    lexer.len = saved_len;
    lexer.pos = saved_pos;
    lexer.current_char = saved_char;
}

bool script_has_error() { return has_error; }

const Lexer& script_lexer() { return lexer; }

uint32_t script_tokens_read() { return tokens_read; }

const char* script_parameter(const Function& function, int32_t index)
{
    char* name = nullptr;
    copy_bytes(&name, function.parameters + index, sizeof name);
    return name;
}

} // namespace tavix
