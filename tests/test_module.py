"""The module object, PanicException and the error paths of the entry frame."""
import inspect
import re
import sys

import pytest

import _tessaly_testhooks as hooks
import tessaly
from conftest import run_python


def caught(call, *args):
    """The exception `call` raises, whatever its base class."""
    try:
        call(*args)
    except BaseException as error:
        return error
    raise AssertionError(f"{call} raised nothing")


class Huge:
    """Claims so many items that four bytes each overflow the address space: the one internal
    failure an ordinary call can reach."""
    def __len__(self):
        return (sys.maxsize + 1) // 2

    def __getitem__(self, index):
        raise IndexError


HUGE = "import sys, tessaly\n" + inspect.getsource(Huge)  # the same class for child interpreters
PanicException = type(caught(tessaly.cosine_similarity, Huge(), []))
# The hooks module carries its own copy of the frame, and so its own class.
HookPanic = type(caught(hooks.panic_with_text, "first failure"))

# A failure report as the runtime writes it to stderr, for a given message line.
REPORT = r"(?m)^thread '[^'\n]+' \(\d+\) panicked at [^\n]+:\d+:\d+:\n{}$"


def test_module_attributes():
    assert tessaly.__all__ == ["Vectorstore", "cosine_similarity"]
    assert tessaly.__doc__ == ""
    own = {name for name in vars(tessaly) if not (name.startswith("__") and name.endswith("__"))}
    assert own == {"Vectorstore", "cosine_similarity"}  # no version, no exception type


def test_function_object():
    function = tessaly.cosine_similarity
    assert function.__self__ is None
    assert function.__module__ == "tessaly"
    assert repr(function) == "<built-in function cosine_similarity>"
    assert function.__text_signature__ == "(vec1, vec2)"


@pytest.mark.parametrize("panic_type", [PanicException, HookPanic])
def test_panic_exception_class(panic_type):
    assert issubclass(panic_type, BaseException)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__name__ == "PanicException"
    assert not hasattr(tessaly, "PanicException")


def test_panic_exception_escapes_except_exception():
    with pytest.raises(BaseException) as info:
        try:
            hooks.panic_with_text("broken invariant \u00e9")
        except Exception:
            pytest.fail("a broad 'except Exception' caught PanicException")
    assert type(info.value) is HookPanic
    assert info.value.args == ("broken invariant \u00e9",)
    assert str(info.value) == "broken invariant \u00e9"


@pytest.mark.parametrize("call", [lambda: tessaly.cosine_similarity([], Huge()),
                                  lambda: tessaly.Vectorstore(2, Huge()),
                                  lambda: tessaly.Vectorstore(2).parallel_search(Huge(), 1)])
def test_every_failure_uses_one_panic_type(call):
    error = caught(call)
    assert type(error) is PanicException and error.args == ("capacity overflow",)


def test_payload_without_text_gets_a_fixed_message():
    first, second = caught(hooks.panic_without_text), caught(hooks.panic_without_text)
    assert type(first) is type(second) is HookPanic
    assert len(first.args) == 1 and isinstance(first.args[0], str) and len(first.args[0]) == 20
    assert second.args == first.args


def test_null_object_reports_the_interpreter_error_then_panics(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    error = caught(hooks.null_object)
    assert type(error) is HookPanic and error.args == ("PyObject pointer is null",)
    assert [(type(s.exc_value), str(s.exc_value), s.object) for s in seen] == [(MemoryError, "simulated", None)]


def test_teardown_failure_goes_to_the_unraisable_hook(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    assert hooks.teardown_failure() is None  # and nothing left pending
    [report] = seen
    assert type(report.exc_value) is HookPanic
    assert report.exc_value.args == ("teardown failed",)
    assert report.object is None


@pytest.mark.parametrize("call, kind, args", [
    (hooks.fetch_nothing, SystemError, ("attempted to fetch exception but none was set",)),
    (hooks.out_of_memory, MemoryError, ()),
])
def test_boundary_failures(call, kind, args):
    error = caught(call)
    assert type(error) is kind and error.args == args
    assert hooks.drop_error() is False  # a dropped error value leaves nothing pending either


RESUME = HUGE + """
try:
    tessaly.cosine_similarity(Huge(), [])
except BaseException as error:
    caught = error
PanicException = type(caught)

class Unprintable(PanicException):
    def __str__(self):
        raise RuntimeError("no text")

class Element:
    def __float__(self):
        raise {raised}

print("-- resume --", file=sys.stderr, flush=True)
try:
    tessaly.cosine_similarity([1.0, Element()], [1.0, 1.0])
except BaseException as error:
    print(type(error) is PanicException, error is not caught, error.args)
print(tessaly.cosine_similarity([3, 4], [4, 3]))
"""


@pytest.mark.parametrize("raised, message, last_line", [
    ("caught", "capacity overflow", "PanicException: capacity overflow"),
    ("Unprintable()", "Unwrapped panic from Python code", "Unprintable: <exception str() failed>"),
])
def test_panic_from_python_code_is_resumed(raised, message, last_line):
    result = run_python(RESUME.format(raised=raised))
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"True True ('{message}',)\n0.9599999785423279\n"
    after = result.stderr.split("-- resume --\n", 1)[1]
    banner, trace_note, trace = after.split("\n", 2)
    assert banner.strip() and trace_note == "Python stack trace below:"
    assert trace.startswith("Traceback (most recent call last):\n")
    assert f"in __float__\n    raise {raised}\n" in trace and trace.endswith(last_line + "\n")
    assert "panicked at" not in after  # the report was written when it first started


CAPACITY = HUGE + """
store = tessaly.Vectorstore(2)
for call in (lambda: tessaly.cosine_similarity(Huge(), []), lambda: store.search(Huge(), 1)):
    try:
        call()
    except BaseException as error:
        print(type(error).__name__, error.args)
store.insert([3.0, 4.0], 7)
print(store.search([3.0, 4.0], 1), len(store))
"""


def test_capacity_overflow_report_and_recovery():
    result = run_python(CAPACITY)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException ('capacity overflow',)"] * 2 + ["[(1.0, 7)] 1"]
    assert len(re.findall(REPORT.format("capacity overflow"), result.stderr)) == 2


def test_subinterpreters_are_refused_and_leave_the_main_interpreter_sound():
    # A subinterpreter numbers types on its own counter; had it shared the
    # class, the 3000 classes below would collide with it in the method cache.
    result = run_python("""
        import _interpreters
        for kind in ("legacy", "isolated", "legacy"):
            iid = _interpreters.create(_interpreters.new_config(kind))
            failure = _interpreters.exec(iid, "import tessaly")
            _interpreters.destroy(iid)
            print(failure.type.__name__, failure.msg)
        classes = [type(f"C{i}", (), {"search": lambda self, *a: "wrong search"}) for i in range(3000)]
        for c in classes:
            c().search()
        import tessaly
        print(tessaly.Vectorstore(2, [([1, 0], 7)]).search([1, 0], 1))
    """)
    refused = "ImportError module tessaly does not support loading in subinterpreters"
    assert result.stdout.splitlines() == [refused] * 3 + ["[(1.0, 7)]"], result.stderr


def stub_parameters():
    """(name in the stub, [(parameter, has a default)]) of every function the stub declares,
    the receiver left out."""
    import ast
    import pathlib
    tree = ast.parse((pathlib.Path(__file__).parent.parent / "stubs" / "tessaly.pyi").read_text())
    declared = [(node.name, node) for node in tree.body if isinstance(node, ast.FunctionDef)]
    for cls in (node for node in tree.body if isinstance(node, ast.ClassDef) and not node.name.startswith("_")):
        declared += [(f"{cls.name}.{node.name}", node) for node in cls.body
                     if isinstance(node, ast.FunctionDef) and node.name != "__len__"
                     and not any(getattr(d, "id", None) == "property" for d in node.decorator_list)]
    for name, node in declared:
        params = node.args.args[1:] if "." in name else node.args.args
        defaults = [False] * (len(params) - len(node.args.defaults)) + [True] * len(node.args.defaults)
        keyword_only = [(p.arg, d is not None) for p, d in zip(node.args.kwonlyargs, node.args.kw_defaults)]
        yield name, [(p.arg, d) for p, d in zip(params, defaults)] + keyword_only


@pytest.mark.parametrize("name, parameters", list(stub_parameters()))
def test_stub_parameters_match_the_method_table(name, parameters):
    # The module's text signatures come from its method table, so this holds
    # the stub to the table: the names, their order, and which are optional.
    target = tessaly
    for part in name.split("."):
        target = getattr(target, part)
    if name.endswith(".__new__"):
        target = tessaly.Vectorstore  # the class's text signature is its constructor's
    runtime = [(p.name, p.default is not inspect.Parameter.empty)
               for p in inspect.signature(target).parameters.values() if p.name not in ("self", "cls")]
    assert runtime == parameters


def stub_examples():
    """(name, doctest) of every docstring in the stub with an example: editors
    show these docstrings, so their examples must stay true."""
    import ast
    import doctest
    import pathlib
    import numpy
    tree = ast.parse((pathlib.Path(__file__).parent.parent / "stubs" / "tessaly.pyi").read_text())
    parser = doctest.DocTestParser()
    for node in ast.walk(tree):
        docstring = ast.get_docstring(node) if isinstance(node, (ast.FunctionDef, ast.ClassDef)) else None
        if docstring and ">>>" in docstring:
            yield node.name, parser.get_doctest(docstring, {"tessaly": tessaly, "numpy": numpy}, node.name, None, 0)


@pytest.mark.parametrize("name, test", list(stub_examples()))
def test_stub_examples_hold(name, test):
    import doctest
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0, name
