"""TrendKit._run and _arun, directly and through LangChain."""
import asyncio
import collections.abc
import gc
import inspect
import json
import warnings

import numpy as np
import pandas as pd
import pytest

import orveksdk.trend_kit as tk


@pytest.fixture
def tool():
    return tk.TrendKit()


def payload(dates, values, period=2, **extra):
    return json.dumps({"data_input": {"date": dates, "values": values}, "period": period, **extra})


D3 = ["2024-01-01", "2024-01-02", "2024-01-03"]


def test_python_literal_payload(tool):
    text = str({"data_input": {"date": D3, "values": [10, 12, 14]}, "period": 2})
    assert "'" in text
    out = tool._run(text)
    assert list(out["dates"]) == ["2024-01-04", "2024-01-05"]
    np.testing.assert_allclose(out["Forecasted_values"], [16, 18])


def test_mixed_date_forms_reach_the_frame_uniformly(tool, monkeypatch):
    seen = []
    real = tk.ts_forecast
    monkeypatch.setitem(vars(tk), "ts_forecast", lambda df, p: seen.append(list(df["timestamp"])) or real(df, p))
    tool._run(payload(["2024-01-01", "January 2, 2024", "01/03/2024"], [1, 2, 3]))
    assert seen == [D3]


@pytest.mark.parametrize("text,error", [
    (payload(D3, [1, 2, 3], period=2.0),
     "Argument 'period' has incorrect type (expected int, got float)"),
    (payload(D3, [1, 2, 3], period=True),
     "Argument 'period' has incorrect type (expected int, got bool)"),
    (json.dumps({"data_input": {"date": D3, "values": [1, 2, 3]}}), "'period'"),
    (json.dumps({"data_input": {"date": D3}, "period": 1}), "'values'"),
    (json.dumps({"data_input": {"values": [1]}, "period": 1}), "'date'"),
    (json.dumps({"period": 1}), "'data_input'"),
    (payload(["2024-01-01"], [1]), "division by zero"),
    ("not json", "Expecting value: line 1 column 1 (char 0)"),
    (payload(D3, [1, 2]), "All arrays must be of the same length"),
    (payload(D3, [1, 2, 3], period=0), None),
    (payload(D3, ["a", "b", "c"]), None),
    (payload(["someday", "2024-01-02"], [1, 2]), "Unknown string format: someday"),
])
def test_error_dictionaries(tool, capsys, text, error):
    out = tool._run(text)
    assert isinstance(out, dict) and list(out) == ["error"]
    if error is not None:
        assert out["error"] == error
    err = capsys.readouterr().err
    assert err.startswith("Traceback (most recent call last):")
    assert "in orveksdk.trend_kit.TrendKit._run" in err


def test_decimal_texts_are_read_as_numbers_without_evaluation(tool, monkeypatch):
    seen = []
    real = tk.ts_forecast
    monkeypatch.setitem(vars(tk), "ts_forecast", lambda df, p: seen.append(list(df["values"])) or real(df, p))
    text = payload(D3, ["Decimal('10.5')", 12, "Decimal('14')"]).replace("'", "\\u0027")
    out = tool._run(text)
    assert seen == [[10.5, 12, 14.0]]
    assert isinstance(out, pd.DataFrame)
    # anything written after the literal is not evaluated
    text = payload(D3, ["Decimal('1')+__import__('os').system('false')", 2, 3]).replace("'", "\\u0027")
    seen.clear()
    tool._run(text)
    assert seen == [[1.0, 2, 3]]
    # a literal that is no number
    text = payload(D3, ["Decimal('1.2.3')", 2, 3]).replace("'", "\\u0027")
    assert tool._run(text) == {"error": "could not convert string to float: '1.2.3'"}


def test_decimal_text_with_plain_quotes_no_longer_decodes(tool):
    out = tool._run(payload(D3, ["Decimal('1')", 2, 3]))
    assert out["error"].startswith("Expecting ',' delimiter")


def test_other_values_go_into_the_frame_unchanged(tool, monkeypatch):
    seen = []
    monkeypatch.setitem(vars(tk), "ts_forecast", lambda df, p: seen.append(list(df["values"])) or pd.DataFrame())
    assert tool._run(payload(D3, [[1], {"a": 1}, None])) == {
        "error": "Forecasting produced an empty DataFrame."}
    assert seen == [[[1], {"a": 1}, None]]


def test_base_exceptions_are_not_caught(tool, monkeypatch, tb_names):
    def interrupt(d):
        raise KeyboardInterrupt
    monkeypatch.setitem(vars(tk), "conv_date", interrupt)
    with pytest.raises(KeyboardInterrupt) as info:
        tool._run(payload(D3, [1, 2, 3]))
    assert "orveksdk.trend_kit.TrendKit._run" in tb_names(info.value)


def test_handled_exception_state_is_restored(tool):
    try:
        raise LookupError("outer")
    except LookupError as outer:
        tool._run("not json")
        import sys
        assert sys.exception() is outer


def test_through_langchain(tool):
    text = payload(D3, [10, 12, 14])
    assert list(tool.run(text)["dates"]) == ["2024-01-04", "2024-01-05"]
    assert list(tool.invoke(text)["dates"]) == ["2024-01-04", "2024-01-05"]
    assert tool.args == {"input": {"title": "Input", "type": "string"}}
    with pytest.raises(NotImplementedError, match="^TrendKit does not support async$"):
        asyncio.run(tool.ainvoke(text))


def test_agent_round_trip_with_a_fake_chat_model(tool, stack):
    if stack != "pinned":
        pytest.skip("AgentExecutor is LangChain 0.2's agent; 1.x has create_agent (below)")
    from langchain.agents import AgentExecutor, create_tool_calling_agent
    from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
    from langchain_core.messages import AIMessage, ToolMessage
    from langchain_core.prompts import ChatPromptTemplate

    class ToolCallingFake(GenericFakeChatModel):
        def bind_tools(self, tools, **kwargs):
            return self

    text = payload(D3, [10, 12, 14])
    call = {"name": "forecast", "args": {"input": text}, "id": "call-1"}
    model = ToolCallingFake(messages=iter([
        AIMessage(content="", tool_calls=[call]), AIMessage(content="forecast ready")]))
    prompt = ChatPromptTemplate.from_messages(
        [("human", "{input}"), ("placeholder", "{agent_scratchpad}")])
    agent = create_tool_calling_agent(model, [tool], prompt)
    executor = AgentExecutor(agent=agent, tools=[tool], return_intermediate_steps=True,
                             stream_runnable=False)
    result = executor.invoke({"input": "forecast the next two days"})
    assert result["output"] == "forecast ready"
    [(action, observation)] = result["intermediate_steps"]
    assert action.tool == "forecast" and action.tool_input == {"input": text}
    assert list(observation["Forecasted_values"]) == pytest.approx([16.0, 18.0])

    message = tool.invoke({**call, "type": "tool_call"})
    assert isinstance(message, ToolMessage) and message.tool_call_id == "call-1"
    assert "2024-01-05" in message.content and "18.0" in message.content


def test_arun_coroutine(tool, tb_names):
    coro = tool._arun("anything")
    assert isinstance(coro, collections.abc.Coroutine) and asyncio.iscoroutine(coro)
    assert not inspect.iscoroutine(coro)
    assert (coro.__name__, coro.__qualname__, coro.__module__) == (
        "_arun", "TrendKit._arun", "orveksdk.trend_kit")
    assert coro.cr_await is None and coro.cr_running is False
    assert coro.cr_code is tk.TrendKit._arun.__code__
    with pytest.raises(NotImplementedError) as info:
        asyncio.run(coro)
    assert tb_names(info.value)[-1] == "_arun"
    assert coro.__qualname__ is None and coro.cr_code is None and coro.cr_frame is None
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    assert coro.close() is None


def test_never_awaited_warning(tool):
    with pytest.warns(RuntimeWarning, match="coroutine 'TrendKit._arun' was never awaited"):
        coro = tool._arun("x")
        del coro
        gc.collect()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coro = tool._arun("x")
        coro.close()
        del coro
        gc.collect()


def test_send_and_throw_on_new_coroutines(tool):
    coro = tool._arun("x")
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    coro.close()
    coro = tool._arun("x")
    with pytest.raises(ValueError, match="boom"):
        coro.throw(ValueError("boom"))
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)
    with pytest.raises(TypeError):
        tool._arun("x").throw()


def test_await_wrapper(tool):
    coro = tool._arun("x")
    w = coro.__await__()
    assert iter(w) is w
    with pytest.raises(TypeError, match="cannot instantiate type, use 'await coroutine' instead"):
        type(w)()
    import pickle
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(w)
    assert type(w).__doc__ == "A wrapper object implementing __await__ for coroutines."
    with pytest.raises(NotImplementedError):
        next(w)


def test_no_leaks(tool, leaks):
    leaks.rounds = 200
    leaks.warmup = 20
    good = payload(D3, [10, 12, 14])
    leaks.check(tool._run, good, per_call_bytes=64)
    leaks.check(tool._run, "not json", per_call_bytes=64)

    def closed():
        tool._arun("x").close()
    leaks.check(closed)

    def awaited():
        try:
            tool._arun("x").send(None)
        except NotImplementedError:
            pass
    leaks.check(awaited)


def fake_tool_calling_model(*tool_calls):
    """A chat model that asks for each tool call in turn, then answers."""
    from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
    from langchain_core.messages import AIMessage

    class ToolCallingFake(GenericFakeChatModel):
        def bind_tools(self, tools, **kwargs):
            return self

    replies = [AIMessage(content="", tool_calls=[call]) for call in tool_calls]
    return ToolCallingFake(messages=iter([*replies, AIMessage(content="forecast ready")]))


def latest_only(stack):
    if stack != "latest":
        pytest.skip("create_agent and LangGraph's ToolNode come with LangChain 1.x")


def test_create_agent_gets_the_forecast_back(tool, stack):
    latest_only(stack)
    from langchain.agents import create_agent
    from langchain_core.messages import ToolMessage

    call = {"name": "forecast", "args": {"input": payload(D3, [10, 12, 14])}, "id": "call-1"}
    agent = create_agent(fake_tool_calling_model(call), [tool])
    messages = agent.invoke({"messages": [{"role": "user", "content": "forecast two days"}]})["messages"]
    [answer] = [m for m in messages if isinstance(m, ToolMessage)]
    assert answer.status == "success" and answer.tool_call_id == "call-1" and answer.name == "forecast"
    # The frame's printed form: never "null", which is what a tool whose
    # _run fell through to BaseTool's gives.
    assert answer.content.split() == ["dates", "Forecasted_values", "0", "2024-01-04", "16.0",
                                      "1", "2024-01-05", "18.0"]
    assert messages[-1].content == "forecast ready"


def test_tool_node_runs_the_tool(tool, stack):
    latest_only(stack)
    from langchain_core.messages import AIMessage, ToolMessage
    from langgraph.graph import END, START, MessagesState, StateGraph
    from langgraph.prebuilt import ToolNode

    graph = StateGraph(MessagesState)
    graph.add_node("tools", ToolNode([tool]))
    graph.add_edge(START, "tools")
    graph.add_edge("tools", END)
    app = graph.compile()
    good = {"name": "forecast", "args": {"input": payload(D3, [10, 12, 14])}, "id": "good"}
    bad = {"name": "forecast", "args": {"input": "not json"}, "id": "bad"}
    out = app.invoke({"messages": [AIMessage(content="", tool_calls=[good, bad])]})["messages"]
    replies = {m.tool_call_id: m for m in out if isinstance(m, ToolMessage)}
    assert "2024-01-04" in replies["good"].content and "2024-01-05" in replies["good"].content
    assert replies["good"].status == "success"
    # The error dictionary is the tool's answer, not a failure of the call.
    assert json.loads(replies["bad"].content) == {"error": "Expecting value: line 1 column 1 (char 0)"}
    assert replies["bad"].status == "success"


def test_what_a_model_is_told_about_the_input(tool):
    from langchain_core.utils.function_calling import convert_to_openai_tool

    assert convert_to_openai_tool(tool) == {"type": "function", "function": {
        "name": "forecast",
        "description": "\n    Use this tool for time series forecasting\n    ",
        "parameters": {"properties": {"input": {"type": "string"}}, "required": ["input"],
                       "type": "object"}}}
    schema = tool.tool_call_schema
    properties = (schema.model_json_schema() if hasattr(schema, "model_json_schema")
                  else schema.schema())["properties"]
    assert properties == {"input": {"title": "Input", "type": "string"}}
