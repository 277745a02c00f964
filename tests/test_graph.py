import inspect

import pytest

from korvalinth._native import Graph

from conftest import run_in_thread


def test_graph_construction_forms():
    assert isinstance(Graph(), Graph)
    assert isinstance(Graph(None), Graph)
    assert isinstance(Graph("g"), Graph)
    assert isinstance(Graph(name="g"), Graph)
    assert isinstance(Graph(name=None), Graph)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Graph(1, 2), "Graph.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: Graph(nme="g"), "Graph.__new__() got an unexpected keyword argument 'nme'"),
        (lambda: Graph("a", name="b"), "Graph.__new__() got multiple values for argument 'name'"),
    ],
)
def test_graph_argument_matching_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    "name, message",
    [
        (1, "'int' object is not an instance of 'str'"),
        (True, "'bool' object is not an instance of 'str'"),
        (b"g", "'bytes' object is not an instance of 'str'"),
    ],
)
def test_graph_non_str_name_carries_the_note(name, message):
    with pytest.raises(TypeError) as info:
        Graph(name=name)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'name'"]


def test_graph_accepts_a_str_subclass_name():
    class Name(str):
        pass

    assert isinstance(Graph(Name("g")), Graph)


def test_text_signatures_and_docs():
    assert Graph.__text_signature__ == "(name=None)"
    assert Graph.__doc__ == ""
    assert str(inspect.signature(Graph)) == "(name=None)"
    assert Graph.raise_pending_fatal.__text_signature__ == "($self)"
    assert Graph.raise_pending_fatal.__doc__ is None
    assert str(inspect.signature(Graph().raise_pending_fatal)) == "()"


def test_raise_pending_fatal_on_an_empty_slot_returns_none():
    g = Graph()
    assert g.raise_pending_fatal() is None
    assert g.raise_pending_fatal() is None


def test_raise_pending_fatal_takes_no_arguments():
    with pytest.raises(TypeError, match=r"raise_pending_fatal\(\) takes no arguments \(1 given\)"):
        Graph().raise_pending_fatal(1)


def test_graph_used_on_another_thread_raises_panic_exception():
    g = Graph("g")
    outcome = run_in_thread(g.raise_pending_fatal)
    raised = outcome["raised"]
    assert type(raised).__name__ == "PanicException"
    assert type(raised).__module__ == "pyo3_runtime"
    assert isinstance(raised, BaseException) and not isinstance(raised, Exception)
    assert "_native::PyGraph is unsendable, but sent to another thread" in str(raised)
    # Still usable on its own thread.
    assert g.raise_pending_fatal() is None


def test_argument_errors_come_before_the_thread_check():
    g = Graph()
    outcome = run_in_thread(lambda: g.raise_pending_fatal(1))
    assert isinstance(outcome["raised"], TypeError)


def test_graph_dropped_on_another_thread_is_leaked_and_reported(unraisable):
    holder = [Graph("g")]
    outcome = run_in_thread(holder.pop)
    assert isinstance(outcome["value"], Graph)
    del outcome  # the last reference goes on this thread: no report
    assert unraisable == []

    holder = [Graph("g")]

    def drop():
        del holder[0]

    run_in_thread(drop)
    assert len(unraisable) == 1
    report = unraisable[0]
    assert report.exc_type is RuntimeError
    assert str(report.exc_value) == "_native::PyGraph is unsendable, but is being dropped on another thread"


def test_object_new_cannot_bypass_the_constructor():
    with pytest.raises(TypeError, match="is not safe"):
        object.__new__(Graph)
