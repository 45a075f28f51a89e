"""The web tests' one tally: each check printed as it is made and counted; the run's verdict at the end."""

passed = failed = 0


def check(name, ok, detail=''):
    global passed, failed
    if ok:
        passed += 1
        print('ok: ' + name, flush=True)
    else:
        failed += 1
        print('FAILED: ' + name + (': ' + detail if detail else ''), flush=True)
    return ok


def verdict():
    """Prints the counts; the exit status for the run."""
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0
