/* A C host of the installed library: both headers compile as C, every export links, and the
 * calls that need no server answer as documented. */
#include <stdio.h>
#include <string.h>

#include <qvRadClient.h>
#include <qvrad.h>

typedef void (*any_function)(void);

int main(void) {
    /* Every function of qvrad.h referenced, so that a missing export fails the link. */
    const any_function every[] = {(any_function)qvrad_client_new,
                                  (any_function)qvrad_client_add_server,
                                  (any_function)qvrad_client_set_int,
                                  (any_function)qvrad_client_set_text,
                                  (any_function)qvrad_client_free,
                                  (any_function)qvrad_login_pap,
                                  (any_function)qvrad_login_answer,
                                  (any_function)qvrad_login_code,
                                  (any_function)qvrad_login_message_count,
                                  (any_function)qvrad_login_message,
                                  (any_function)qvrad_login_attribute_count,
                                  (any_function)qvrad_login_attribute,
                                  (any_function)qvrad_login_prompt_echo,
                                  (any_function)qvrad_login_free,
                                  (any_function)qvrad_strerror,
                                  (any_function)qvrad_error_detail};
    const char* refused = auth(NULL, "1812", "s", "u", "p", "1");
    qvrad_client* client = NULL;
    qvrad_login* login = NULL;
    int ok = strcmp(refused, "6007#0#INVALID_INPUT_ERR") == 0;
    size_t i;
    for (i = 0; i < sizeof every / sizeof every[0]; ++i) ok = ok && every[i] != NULL;
    ok = ok && qvrad_client_new(&client) == QVRAD_OK;
    /* Refused before anything is sent: a timeout over 300 s, a login without a server. */
    ok = ok && qvrad_client_set_int(client, QVRAD_OPT_TIMEOUT_MS, 300001) == QVRAD_E_ARGUMENT;
    ok = ok && qvrad_login_pap(client, "u", "p", &login) == QVRAD_E_ARGUMENT && login == NULL;
    printf("%s\n%s\n%s\n", info(), refused, qvrad_strerror(QVRAD_E_ARGUMENT));
    qvrad_login_free(login);
    qvrad_client_free(client);
    return ok ? 0 : 1;
}
