# The module binds these as globals and looks them up at call time.
import time as time
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

import requests as requests
from requests.exceptions import ConnectionError as ConnectionError
from requests.exceptions import RequestException as RequestException

# Anything int() takes: ints, floats, bools and objects with __int__,
# __index__ or __float__. Strings are rejected.
_IntLike = SupportsInt | SupportsIndex | SupportsFloat
# Requests' own timeout forms; a falsy value means "the client's base_timeout".
_Timeout = float | tuple[float | None, float | None] | None

DEFAULT_USER_AGENT: str

class HttpRequestClient:
    """通用带指数退避重试的 HTTP 请求客户端"""

    max_retries: int
    base_timeout: int
    verify_ssl: bool
    session: requests.Session

    def __init__(
        self,
        max_retries: _IntLike = 3,
        base_timeout: _IntLike = 300,
        verify_ssl: object = False,
        user_agent: str = ...,
    ) -> None: ...
    @staticmethod
    def _calc_backoff_wait(attempt: _IntLike) -> float: ...
    # Returns None without sending anything when max_retries is 0 or less.
    def request(
        self,
        method: str,
        url: str,
        headers: dict[str, Any] | None = None,
        params: dict[Any, Any] | None = None,
        json: dict[str, Any] | None = None,
        data: dict[Any, Any] | None = None,
        timeout: _Timeout = None,
        **kwargs: Any,
    ) -> requests.Response: ...
    def post(
        self,
        url: str,
        json: dict[str, Any] | None = None,
        data: dict[Any, Any] | None = None,
        headers: dict[str, Any] | None = None,
        timeout: _Timeout = None,
        **kwargs: Any,
    ) -> requests.Response: ...
    def get(
        self,
        url: str,
        params: dict[Any, Any] | None = None,
        headers: dict[str, Any] | None = None,
        timeout: _IntLike | None = None,
        **kwargs: Any,
    ) -> requests.Response: ...
