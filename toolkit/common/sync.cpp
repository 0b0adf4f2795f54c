// Mutexes and condition variables over POSIX threads. Condition variables
// use the monotonic clock so timed waits ignore wall-clock changes.
#include "kalder_common.h"

#include <cerrno>
#include <ctime>

int kalder_mutex_init(kalder_mutex_t *mutex, kalder_mutexattr_t *)
{
    if (!mutex)
        return EINVAL;
    return pthread_mutex_init(&mutex->m, nullptr);
}

int kalder_mutex_destroy(kalder_mutex_t *mutex)
{
    return mutex ? pthread_mutex_destroy(&mutex->m) : EINVAL;
}

int kalder_mutex_lock(kalder_mutex_t *mutex)
{
    return mutex ? pthread_mutex_lock(&mutex->m) : EINVAL;
}

int kalder_mutex_unlock(kalder_mutex_t *mutex)
{
    return mutex ? pthread_mutex_unlock(&mutex->m) : EINVAL;
}

int kalder_cond_init(kalder_cond_t *cond, kalder_condattr_t *)
{
    if (!cond)
        return EINVAL;
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0)
        return rc;
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    rc = pthread_cond_init(&cond->c, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

int kalder_cond_destroy(kalder_cond_t *cond)
{
    return cond ? pthread_cond_destroy(&cond->c) : EINVAL;
}

int kalder_cond_wait(kalder_cond_t *cond, kalder_mutex_t *mutex)
{
    if (!cond || !mutex)
        return EINVAL;
    return pthread_cond_wait(&cond->c, &mutex->m);
}

int kalder_cond_timedwait(kalder_cond_t *cond, kalder_mutex_t *mutex, long timeout_ms)
{
    if (!cond || !mutex || timeout_ms < 0)
        return EINVAL;
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += timeout_ms / 1000;
    ts.tv_nsec += (timeout_ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return pthread_cond_timedwait(&cond->c, &mutex->m, &ts);
}

int kalder_cond_signal(kalder_cond_t *cond)
{
    return cond ? pthread_cond_signal(&cond->c) : EINVAL;
}

int kalder_cond_broadcast(kalder_cond_t *cond)
{
    return cond ? pthread_cond_broadcast(&cond->c) : EINVAL;
}
