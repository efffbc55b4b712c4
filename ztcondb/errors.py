"""The exceptions of ztcondb: PEP 249's classes and a class per SQLSTATE.

The extension raises these classes itself where an error happens (the connection names
`error_table` below): a server error is the class of its SQLSTATE (`UniqueViolation`,
a subclass of `IntegrityError`), `lookup()` finds a class by code or constant name, and
`diag` holds every field of the server's report. `pgcode` and `pgerror` are there for
psycopg2 habits. Errors survive pickling with their fields.
"""
from __future__ import annotations

from typing import Any, Dict, Optional, Tuple, Type

import _pyztdb

__all__ = [
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError", "OperationalError",
    "IntegrityError", "InternalError", "ProgrammingError", "NotSupportedError",
    "Diagnostic", "lookup",
]

# SQLSTATE and constant name ("UNIQUE_VIOLATION") -> class.
_sqlcodes: Dict[str, Type["Error"]] = {}


class Warning(Exception):  # noqa: A001 - the name PEP 249 gives it
    """Important warnings, such as data truncation on insert."""


class Diagnostic:
    """The fields of a server error report (None for a field the server did not send,
    and for errors of the driver itself)."""

    def __init__(self, info: Dict[str, str]) -> None:
        self._info = info   # the server's field letters -> text

    @property
    def severity(self) -> Optional[str]:
        return self._info.get('S')

    @property
    def severity_nonlocalized(self) -> Optional[str]:
        return self._info.get('V')

    @property
    def sqlstate(self) -> Optional[str]:
        return self._info.get('C')

    @property
    def message_primary(self) -> Optional[str]:
        return self._info.get('M')

    @property
    def message_detail(self) -> Optional[str]:
        return self._info.get('D')

    @property
    def message_hint(self) -> Optional[str]:
        return self._info.get('H')

    @property
    def statement_position(self) -> Optional[str]:
        return self._info.get('P')

    @property
    def internal_position(self) -> Optional[str]:
        return self._info.get('p')

    @property
    def internal_query(self) -> Optional[str]:
        return self._info.get('q')

    @property
    def context(self) -> Optional[str]:
        return self._info.get('W')

    @property
    def schema_name(self) -> Optional[str]:
        return self._info.get('s')

    @property
    def table_name(self) -> Optional[str]:
        return self._info.get('t')

    @property
    def column_name(self) -> Optional[str]:
        return self._info.get('c')

    @property
    def datatype_name(self) -> Optional[str]:
        return self._info.get('d')

    @property
    def constraint_name(self) -> Optional[str]:
        return self._info.get('n')

    @property
    def source_file(self) -> Optional[str]:
        return self._info.get('F')

    @property
    def source_line(self) -> Optional[str]:
        return self._info.get('L')

    @property
    def source_function(self) -> Optional[str]:
        return self._info.get('R')

    def __reduce__(self) -> Any:
        return (Diagnostic, (dict(self._info),))


class Error(Exception):
    """Base of every error ztcondb raises. `sqlstate`, `detail`, `hint` and `context`
    are the server's fields (None when not sent, or for errors of the driver itself);
    `diag` has all of them."""

    sqlstate: Optional[str] = None

    def __init__(self, *args: Any, sqlstate: Optional[str] = None,
                 detail: Optional[str] = None, hint: Optional[str] = None,
                 context: Optional[str] = None) -> None:
        super().__init__(*args)
        if sqlstate is not None:
            self.sqlstate = sqlstate
        self.detail = detail
        self.hint = hint
        self.context = context

    @property
    def diag(self) -> Diagnostic:
        """Every field of the server's report (see Diagnostic)."""
        info: Dict[str, str] = dict(self.__dict__.get("_info") or {})
        if "C" not in info and self.sqlstate:
            info["C"] = self.sqlstate
        return Diagnostic(info)

    @property
    def pgcode(self) -> Optional[str]:
        """The SQLSTATE, as psycopg2 names it."""
        return self.sqlstate

    @property
    def pgerror(self) -> Optional[str]:
        """The server's report as psycopg2 gives it ("ERROR:  text" and the lines that
        follow it); None for errors of the driver itself."""
        info = self.__dict__.get("_info") or {}
        if "M" not in info:
            return None
        text = str(self)
        lines = text.partition("\n")[2]
        return "%s:  %s\n%s" % (info.get("S", "ERROR"), info["M"], lines + "\n" if lines else "")

    def __reduce__(self) -> Any:
        return (_rebuild, (type(self), self.args, self.__dict__))


def _rebuild(cls: Type[Error], args: Tuple[Any, ...], state: Dict[str, Any]) -> Error:
    """Unpickles an error: the class with its arguments, then its attributes."""
    exc = cls(*args)
    exc.__dict__.update(state)
    return exc


class InterfaceError(Error):
    """An error of the driver's interface rather than of the database."""


class DatabaseError(Error):
    """An error of the database. A subclass made with `code=` (and `name=`) is the class
    of that SQLSTATE."""

    def __init_subclass__(cls, code: Optional[str] = None, name: Optional[str] = None,
                          **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if code:
            _sqlcodes[code] = cls
            cls.sqlstate = code
        if name:
            _sqlcodes[name] = cls


class DataError(DatabaseError):
    """A value could not be processed: out of range, division by zero, bad date, ..."""


class OperationalError(DatabaseError):
    """The database's operation failed: lost connection, deadlock, resources, ..."""


class IntegrityError(DatabaseError):
    """Relational integrity was violated: a duplicate key, a foreign key, a check."""


class InternalError(DatabaseError):
    """The database met an internal error (invalid cursor or transaction state, ...)."""


class ProgrammingError(DatabaseError):
    """A programming error: syntax, a missing table, a wrong number of parameters."""


class NotSupportedError(DatabaseError):
    """A method or feature the database does not support."""


def lookup(sqlstate: str) -> Type[Error]:
    """The class of a SQLSTATE ("23505") or of its constant name ("UNIQUE_VIOLATION");
    KeyError for one without a class."""
    return _sqlcodes[sqlstate.upper()]


# fmt: off
# generated: start (tools/gen_errcodes.py)


# Class 02

class NoData(DatabaseError, code='02000', name='NO_DATA'):
    pass

class NoAdditionalDynamicResultSetsReturned(DatabaseError, code='02001', name='NO_ADDITIONAL_DYNAMIC_RESULT_SETS_RETURNED'):
    pass


# Class 03

class SqlStatementNotYetComplete(DatabaseError, code='03000', name='SQL_STATEMENT_NOT_YET_COMPLETE'):
    pass


# Class 08

class ConnectionException(OperationalError, code='08000', name='CONNECTION_EXCEPTION'):
    pass

class ConnectionDoesNotExist(OperationalError, code='08003', name='CONNECTION_DOES_NOT_EXIST'):
    pass

class ConnectionFailure(OperationalError, code='08006', name='CONNECTION_FAILURE'):
    pass

class SqlclientUnableToEstablishSqlconnection(OperationalError, code='08001', name='SQLCLIENT_UNABLE_TO_ESTABLISH_SQLCONNECTION'):
    pass

class SqlserverRejectedEstablishmentOfSqlconnection(OperationalError, code='08004', name='SQLSERVER_REJECTED_ESTABLISHMENT_OF_SQLCONNECTION'):
    pass

class TransactionResolutionUnknown(OperationalError, code='08007', name='TRANSACTION_RESOLUTION_UNKNOWN'):
    pass

class ProtocolViolation(OperationalError, code='08P01', name='PROTOCOL_VIOLATION'):
    pass


# Class 09

class TriggeredActionException(DatabaseError, code='09000', name='TRIGGERED_ACTION_EXCEPTION'):
    pass


# Class 0A

class FeatureNotSupported(NotSupportedError, code='0A000', name='FEATURE_NOT_SUPPORTED'):
    pass


# Class 0B

class InvalidTransactionInitiation(DatabaseError, code='0B000', name='INVALID_TRANSACTION_INITIATION'):
    pass


# Class 0F

class LocatorException(DatabaseError, code='0F000', name='LOCATOR_EXCEPTION'):
    pass

class InvalidLocatorSpecification(DatabaseError, code='0F001', name='INVALID_LOCATOR_SPECIFICATION'):
    pass


# Class 0L

class InvalidGrantor(DatabaseError, code='0L000', name='INVALID_GRANTOR'):
    pass

class InvalidGrantOperation(DatabaseError, code='0LP01', name='INVALID_GRANT_OPERATION'):
    pass


# Class 0P

class InvalidRoleSpecification(DatabaseError, code='0P000', name='INVALID_ROLE_SPECIFICATION'):
    pass


# Class 0Z

class DiagnosticsException(DatabaseError, code='0Z000', name='DIAGNOSTICS_EXCEPTION'):
    pass

class StackedDiagnosticsAccessedWithoutActiveHandler(DatabaseError, code='0Z002', name='STACKED_DIAGNOSTICS_ACCESSED_WITHOUT_ACTIVE_HANDLER'):
    pass


# Class 20

class CaseNotFound(ProgrammingError, code='20000', name='CASE_NOT_FOUND'):
    pass


# Class 21

class CardinalityViolation(ProgrammingError, code='21000', name='CARDINALITY_VIOLATION'):
    pass


# Class 22

class DataException(DataError, code='22000', name='DATA_EXCEPTION'):
    pass

class ArraySubscriptError(DataError, code='2202E', name='ARRAY_SUBSCRIPT_ERROR'):
    pass

class CharacterNotInRepertoire(DataError, code='22021', name='CHARACTER_NOT_IN_REPERTOIRE'):
    pass

class DatetimeFieldOverflow(DataError, code='22008', name='DATETIME_FIELD_OVERFLOW'):
    pass

class DivisionByZero(DataError, code='22012', name='DIVISION_BY_ZERO'):
    pass

class ErrorInAssignment(DataError, code='22005', name='ERROR_IN_ASSIGNMENT'):
    pass

class EscapeCharacterConflict(DataError, code='2200B', name='ESCAPE_CHARACTER_CONFLICT'):
    pass

class IndicatorOverflow(DataError, code='22022', name='INDICATOR_OVERFLOW'):
    pass

class IntervalFieldOverflow(DataError, code='22015', name='INTERVAL_FIELD_OVERFLOW'):
    pass

class InvalidArgumentForLogarithm(DataError, code='2201E', name='INVALID_ARGUMENT_FOR_LOGARITHM'):
    pass

class InvalidArgumentForNtileFunction(DataError, code='22014', name='INVALID_ARGUMENT_FOR_NTILE_FUNCTION'):
    pass

class InvalidArgumentForNthValueFunction(DataError, code='22016', name='INVALID_ARGUMENT_FOR_NTH_VALUE_FUNCTION'):
    pass

class InvalidArgumentForPowerFunction(DataError, code='2201F', name='INVALID_ARGUMENT_FOR_POWER_FUNCTION'):
    pass

class InvalidArgumentForWidthBucketFunction(DataError, code='2201G', name='INVALID_ARGUMENT_FOR_WIDTH_BUCKET_FUNCTION'):
    pass

class InvalidCharacterValueForCast(DataError, code='22018', name='INVALID_CHARACTER_VALUE_FOR_CAST'):
    pass

class InvalidDatetimeFormat(DataError, code='22007', name='INVALID_DATETIME_FORMAT'):
    pass

class InvalidEscapeCharacter(DataError, code='22019', name='INVALID_ESCAPE_CHARACTER'):
    pass

class InvalidEscapeOctet(DataError, code='2200D', name='INVALID_ESCAPE_OCTET'):
    pass

class InvalidEscapeSequence(DataError, code='22025', name='INVALID_ESCAPE_SEQUENCE'):
    pass

class NonstandardUseOfEscapeCharacter(DataError, code='22P06', name='NONSTANDARD_USE_OF_ESCAPE_CHARACTER'):
    pass

class InvalidIndicatorParameterValue(DataError, code='22010', name='INVALID_INDICATOR_PARAMETER_VALUE'):
    pass

class InvalidParameterValue(DataError, code='22023', name='INVALID_PARAMETER_VALUE'):
    pass

class InvalidPrecedingOrFollowingSize(DataError, code='22013', name='INVALID_PRECEDING_OR_FOLLOWING_SIZE'):
    pass

class InvalidRegularExpression(DataError, code='2201B', name='INVALID_REGULAR_EXPRESSION'):
    pass

class InvalidRowCountInLimitClause(DataError, code='2201W', name='INVALID_ROW_COUNT_IN_LIMIT_CLAUSE'):
    pass

class InvalidRowCountInResultOffsetClause(DataError, code='2201X', name='INVALID_ROW_COUNT_IN_RESULT_OFFSET_CLAUSE'):
    pass

class InvalidTablesampleArgument(DataError, code='2202H', name='INVALID_TABLESAMPLE_ARGUMENT'):
    pass

class InvalidTablesampleRepeat(DataError, code='2202G', name='INVALID_TABLESAMPLE_REPEAT'):
    pass

class InvalidTimeZoneDisplacementValue(DataError, code='22009', name='INVALID_TIME_ZONE_DISPLACEMENT_VALUE'):
    pass

class InvalidUseOfEscapeCharacter(DataError, code='2200C', name='INVALID_USE_OF_ESCAPE_CHARACTER'):
    pass

class MostSpecificTypeMismatch(DataError, code='2200G', name='MOST_SPECIFIC_TYPE_MISMATCH'):
    pass

class NullValueNotAllowed(DataError, code='22004', name='NULL_VALUE_NOT_ALLOWED'):
    pass

class NullValueNoIndicatorParameter(DataError, code='22002', name='NULL_VALUE_NO_INDICATOR_PARAMETER'):
    pass

class NumericValueOutOfRange(DataError, code='22003', name='NUMERIC_VALUE_OUT_OF_RANGE'):
    pass

class SequenceGeneratorLimitExceeded(DataError, code='2200H', name='SEQUENCE_GENERATOR_LIMIT_EXCEEDED'):
    pass

class StringDataLengthMismatch(DataError, code='22026', name='STRING_DATA_LENGTH_MISMATCH'):
    pass

class StringDataRightTruncation(DataError, code='22001', name='STRING_DATA_RIGHT_TRUNCATION'):
    pass

class SubstringError(DataError, code='22011', name='SUBSTRING_ERROR'):
    pass

class TrimError(DataError, code='22027', name='TRIM_ERROR'):
    pass

class UnterminatedCString(DataError, code='22024', name='UNTERMINATED_C_STRING'):
    pass

class ZeroLengthCharacterString(DataError, code='2200F', name='ZERO_LENGTH_CHARACTER_STRING'):
    pass

class FloatingPointException(DataError, code='22P01', name='FLOATING_POINT_EXCEPTION'):
    pass

class InvalidTextRepresentation(DataError, code='22P02', name='INVALID_TEXT_REPRESENTATION'):
    pass

class InvalidBinaryRepresentation(DataError, code='22P03', name='INVALID_BINARY_REPRESENTATION'):
    pass

class BadCopyFileFormat(DataError, code='22P04', name='BAD_COPY_FILE_FORMAT'):
    pass

class UntranslatableCharacter(DataError, code='22P05', name='UNTRANSLATABLE_CHARACTER'):
    pass

class NotAnXmlDocument(DataError, code='2200L', name='NOT_AN_XML_DOCUMENT'):
    pass

class InvalidXmlDocument(DataError, code='2200M', name='INVALID_XML_DOCUMENT'):
    pass

class InvalidXmlContent(DataError, code='2200N', name='INVALID_XML_CONTENT'):
    pass

class InvalidXmlComment(DataError, code='2200S', name='INVALID_XML_COMMENT'):
    pass

class InvalidXmlProcessingInstruction(DataError, code='2200T', name='INVALID_XML_PROCESSING_INSTRUCTION'):
    pass

class DuplicateJsonObjectKeyValue(DataError, code='22030', name='DUPLICATE_JSON_OBJECT_KEY_VALUE'):
    pass

class InvalidArgumentForSqlJsonDatetimeFunction(DataError, code='22031', name='INVALID_ARGUMENT_FOR_SQL_JSON_DATETIME_FUNCTION'):
    pass

class InvalidJsonText(DataError, code='22032', name='INVALID_JSON_TEXT'):
    pass

class InvalidSqlJsonSubscript(DataError, code='22033', name='INVALID_SQL_JSON_SUBSCRIPT'):
    pass

class MoreThanOneSqlJsonItem(DataError, code='22034', name='MORE_THAN_ONE_SQL_JSON_ITEM'):
    pass

class NoSqlJsonItem(DataError, code='22035', name='NO_SQL_JSON_ITEM'):
    pass

class NonNumericSqlJsonItem(DataError, code='22036', name='NON_NUMERIC_SQL_JSON_ITEM'):
    pass

class NonUniqueKeysInAJsonObject(DataError, code='22037', name='NON_UNIQUE_KEYS_IN_A_JSON_OBJECT'):
    pass

class SingletonSqlJsonItemRequired(DataError, code='22038', name='SINGLETON_SQL_JSON_ITEM_REQUIRED'):
    pass

class SqlJsonArrayNotFound(DataError, code='22039', name='SQL_JSON_ARRAY_NOT_FOUND'):
    pass

class SqlJsonMemberNotFound(DataError, code='2203A', name='SQL_JSON_MEMBER_NOT_FOUND'):
    pass

class SqlJsonNumberNotFound(DataError, code='2203B', name='SQL_JSON_NUMBER_NOT_FOUND'):
    pass

class SqlJsonObjectNotFound(DataError, code='2203C', name='SQL_JSON_OBJECT_NOT_FOUND'):
    pass

class TooManyJsonArrayElements(DataError, code='2203D', name='TOO_MANY_JSON_ARRAY_ELEMENTS'):
    pass

class TooManyJsonObjectMembers(DataError, code='2203E', name='TOO_MANY_JSON_OBJECT_MEMBERS'):
    pass

class SqlJsonScalarRequired(DataError, code='2203F', name='SQL_JSON_SCALAR_REQUIRED'):
    pass

class SqlJsonItemCannotBeCastToTargetType(DataError, code='2203G', name='SQL_JSON_ITEM_CANNOT_BE_CAST_TO_TARGET_TYPE'):
    pass


# Class 23

class IntegrityConstraintViolation(IntegrityError, code='23000', name='INTEGRITY_CONSTRAINT_VIOLATION'):
    pass

class RestrictViolation(IntegrityError, code='23001', name='RESTRICT_VIOLATION'):
    pass

class NotNullViolation(IntegrityError, code='23502', name='NOT_NULL_VIOLATION'):
    pass

class ForeignKeyViolation(IntegrityError, code='23503', name='FOREIGN_KEY_VIOLATION'):
    pass

class UniqueViolation(IntegrityError, code='23505', name='UNIQUE_VIOLATION'):
    pass

class CheckViolation(IntegrityError, code='23514', name='CHECK_VIOLATION'):
    pass

class ExclusionViolation(IntegrityError, code='23P01', name='EXCLUSION_VIOLATION'):
    pass


# Class 24

class InvalidCursorState(InternalError, code='24000', name='INVALID_CURSOR_STATE'):
    pass


# Class 25

class InvalidTransactionState(InternalError, code='25000', name='INVALID_TRANSACTION_STATE'):
    pass

class ActiveSqlTransaction(InternalError, code='25001', name='ACTIVE_SQL_TRANSACTION'):
    pass

class BranchTransactionAlreadyActive(InternalError, code='25002', name='BRANCH_TRANSACTION_ALREADY_ACTIVE'):
    pass

class HeldCursorRequiresSameIsolationLevel(InternalError, code='25008', name='HELD_CURSOR_REQUIRES_SAME_ISOLATION_LEVEL'):
    pass

class InappropriateAccessModeForBranchTransaction(InternalError, code='25003', name='INAPPROPRIATE_ACCESS_MODE_FOR_BRANCH_TRANSACTION'):
    pass

class InappropriateIsolationLevelForBranchTransaction(InternalError, code='25004', name='INAPPROPRIATE_ISOLATION_LEVEL_FOR_BRANCH_TRANSACTION'):
    pass

class NoActiveSqlTransactionForBranchTransaction(InternalError, code='25005', name='NO_ACTIVE_SQL_TRANSACTION_FOR_BRANCH_TRANSACTION'):
    pass

class ReadOnlySqlTransaction(InternalError, code='25006', name='READ_ONLY_SQL_TRANSACTION'):
    pass

class SchemaAndDataStatementMixingNotSupported(InternalError, code='25007', name='SCHEMA_AND_DATA_STATEMENT_MIXING_NOT_SUPPORTED'):
    pass

class NoActiveSqlTransaction(InternalError, code='25P01', name='NO_ACTIVE_SQL_TRANSACTION'):
    pass

class InFailedSqlTransaction(InternalError, code='25P02', name='IN_FAILED_SQL_TRANSACTION'):
    pass

class IdleInTransactionSessionTimeout(InternalError, code='25P03', name='IDLE_IN_TRANSACTION_SESSION_TIMEOUT'):
    pass


# Class 26

class InvalidSqlStatementName(ProgrammingError, code='26000', name='INVALID_SQL_STATEMENT_NAME'):
    pass


# Class 27

class TriggeredDataChangeViolation(OperationalError, code='27000', name='TRIGGERED_DATA_CHANGE_VIOLATION'):
    pass


# Class 28

class InvalidAuthorizationSpecification(OperationalError, code='28000', name='INVALID_AUTHORIZATION_SPECIFICATION'):
    pass

class InvalidPassword(OperationalError, code='28P01', name='INVALID_PASSWORD'):
    pass


# Class 2B

class DependentPrivilegeDescriptorsStillExist(InternalError, code='2B000', name='DEPENDENT_PRIVILEGE_DESCRIPTORS_STILL_EXIST'):
    pass

class DependentObjectsStillExist(InternalError, code='2BP01', name='DEPENDENT_OBJECTS_STILL_EXIST'):
    pass


# Class 2D

class InvalidTransactionTermination(InternalError, code='2D000', name='INVALID_TRANSACTION_TERMINATION'):
    pass


# Class 2F

class SqlRoutineException(OperationalError, code='2F000', name='SQL_ROUTINE_EXCEPTION'):
    pass

class FunctionExecutedNoReturnStatement(OperationalError, code='2F005', name='FUNCTION_EXECUTED_NO_RETURN_STATEMENT'):
    pass

class ModifyingSqlDataNotPermitted(OperationalError, code='2F002', name='MODIFYING_SQL_DATA_NOT_PERMITTED'):
    pass

class ProhibitedSqlStatementAttempted(OperationalError, code='2F003', name='PROHIBITED_SQL_STATEMENT_ATTEMPTED'):
    pass

class ReadingSqlDataNotPermitted(OperationalError, code='2F004', name='READING_SQL_DATA_NOT_PERMITTED'):
    pass


# Class 34

class InvalidCursorName(ProgrammingError, code='34000', name='INVALID_CURSOR_NAME'):
    pass


# Class 38

class ExternalRoutineException(OperationalError, code='38000', name='EXTERNAL_ROUTINE_EXCEPTION'):
    pass

class ContainingSqlNotPermitted(OperationalError, code='38001', name='CONTAINING_SQL_NOT_PERMITTED'):
    pass

class ModifyingSqlDataNotPermittedExt(OperationalError, code='38002', name='MODIFYING_SQL_DATA_NOT_PERMITTED'):
    pass

class ProhibitedSqlStatementAttemptedExt(OperationalError, code='38003', name='PROHIBITED_SQL_STATEMENT_ATTEMPTED'):
    pass

class ReadingSqlDataNotPermittedExt(OperationalError, code='38004', name='READING_SQL_DATA_NOT_PERMITTED'):
    pass


# Class 39

class ExternalRoutineInvocationException(OperationalError, code='39000', name='EXTERNAL_ROUTINE_INVOCATION_EXCEPTION'):
    pass

class InvalidSqlstateReturned(OperationalError, code='39001', name='INVALID_SQLSTATE_RETURNED'):
    pass

class NullValueNotAllowedExt(OperationalError, code='39004', name='NULL_VALUE_NOT_ALLOWED'):
    pass

class TriggerProtocolViolated(OperationalError, code='39P01', name='TRIGGER_PROTOCOL_VIOLATED'):
    pass

class SrfProtocolViolated(OperationalError, code='39P02', name='SRF_PROTOCOL_VIOLATED'):
    pass

class EventTriggerProtocolViolated(OperationalError, code='39P03', name='EVENT_TRIGGER_PROTOCOL_VIOLATED'):
    pass


# Class 3B

class SavepointException(OperationalError, code='3B000', name='SAVEPOINT_EXCEPTION'):
    pass

class InvalidSavepointSpecification(OperationalError, code='3B001', name='INVALID_SAVEPOINT_SPECIFICATION'):
    pass


# Class 3D

class InvalidCatalogName(ProgrammingError, code='3D000', name='INVALID_CATALOG_NAME'):
    pass


# Class 3F

class InvalidSchemaName(ProgrammingError, code='3F000', name='INVALID_SCHEMA_NAME'):
    pass


# Class 40

class TransactionRollback(OperationalError, code='40000', name='TRANSACTION_ROLLBACK'):
    pass

class TransactionIntegrityConstraintViolation(OperationalError, code='40002', name='TRANSACTION_INTEGRITY_CONSTRAINT_VIOLATION'):
    pass

class SerializationFailure(OperationalError, code='40001', name='SERIALIZATION_FAILURE'):
    pass

class StatementCompletionUnknown(OperationalError, code='40003', name='STATEMENT_COMPLETION_UNKNOWN'):
    pass

class DeadlockDetected(OperationalError, code='40P01', name='DEADLOCK_DETECTED'):
    pass


# Class 42

class SyntaxErrorOrAccessRuleViolation(ProgrammingError, code='42000', name='SYNTAX_ERROR_OR_ACCESS_RULE_VIOLATION'):
    pass

class SyntaxError(ProgrammingError, code='42601', name='SYNTAX_ERROR'):
    pass

class InsufficientPrivilege(ProgrammingError, code='42501', name='INSUFFICIENT_PRIVILEGE'):
    pass

class CannotCoerce(ProgrammingError, code='42846', name='CANNOT_COERCE'):
    pass

class GroupingError(ProgrammingError, code='42803', name='GROUPING_ERROR'):
    pass

class WindowingError(ProgrammingError, code='42P20', name='WINDOWING_ERROR'):
    pass

class InvalidRecursion(ProgrammingError, code='42P19', name='INVALID_RECURSION'):
    pass

class InvalidForeignKey(ProgrammingError, code='42830', name='INVALID_FOREIGN_KEY'):
    pass

class InvalidName(ProgrammingError, code='42602', name='INVALID_NAME'):
    pass

class NameTooLong(ProgrammingError, code='42622', name='NAME_TOO_LONG'):
    pass

class ReservedName(ProgrammingError, code='42939', name='RESERVED_NAME'):
    pass

class DatatypeMismatch(ProgrammingError, code='42804', name='DATATYPE_MISMATCH'):
    pass

class IndeterminateDatatype(ProgrammingError, code='42P18', name='INDETERMINATE_DATATYPE'):
    pass

class CollationMismatch(ProgrammingError, code='42P21', name='COLLATION_MISMATCH'):
    pass

class IndeterminateCollation(ProgrammingError, code='42P22', name='INDETERMINATE_COLLATION'):
    pass

class WrongObjectType(ProgrammingError, code='42809', name='WRONG_OBJECT_TYPE'):
    pass

class GeneratedAlways(ProgrammingError, code='428C9', name='GENERATED_ALWAYS'):
    pass

class UndefinedColumn(ProgrammingError, code='42703', name='UNDEFINED_COLUMN'):
    pass

class UndefinedFunction(ProgrammingError, code='42883', name='UNDEFINED_FUNCTION'):
    pass

class UndefinedTable(ProgrammingError, code='42P01', name='UNDEFINED_TABLE'):
    pass

class UndefinedParameter(ProgrammingError, code='42P02', name='UNDEFINED_PARAMETER'):
    pass

class UndefinedObject(ProgrammingError, code='42704', name='UNDEFINED_OBJECT'):
    pass

class DuplicateColumn(ProgrammingError, code='42701', name='DUPLICATE_COLUMN'):
    pass

class DuplicateCursor(ProgrammingError, code='42P03', name='DUPLICATE_CURSOR'):
    pass

class DuplicateDatabase(ProgrammingError, code='42P04', name='DUPLICATE_DATABASE'):
    pass

class DuplicateFunction(ProgrammingError, code='42723', name='DUPLICATE_FUNCTION'):
    pass

class DuplicatePreparedStatement(ProgrammingError, code='42P05', name='DUPLICATE_PREPARED_STATEMENT'):
    pass

class DuplicateSchema(ProgrammingError, code='42P06', name='DUPLICATE_SCHEMA'):
    pass

class DuplicateTable(ProgrammingError, code='42P07', name='DUPLICATE_TABLE'):
    pass

class DuplicateAlias(ProgrammingError, code='42712', name='DUPLICATE_ALIAS'):
    pass

class DuplicateObject(ProgrammingError, code='42710', name='DUPLICATE_OBJECT'):
    pass

class AmbiguousColumn(ProgrammingError, code='42702', name='AMBIGUOUS_COLUMN'):
    pass

class AmbiguousFunction(ProgrammingError, code='42725', name='AMBIGUOUS_FUNCTION'):
    pass

class AmbiguousParameter(ProgrammingError, code='42P08', name='AMBIGUOUS_PARAMETER'):
    pass

class AmbiguousAlias(ProgrammingError, code='42P09', name='AMBIGUOUS_ALIAS'):
    pass

class InvalidColumnReference(ProgrammingError, code='42P10', name='INVALID_COLUMN_REFERENCE'):
    pass

class InvalidColumnDefinition(ProgrammingError, code='42611', name='INVALID_COLUMN_DEFINITION'):
    pass

class InvalidCursorDefinition(ProgrammingError, code='42P11', name='INVALID_CURSOR_DEFINITION'):
    pass

class InvalidDatabaseDefinition(ProgrammingError, code='42P12', name='INVALID_DATABASE_DEFINITION'):
    pass

class InvalidFunctionDefinition(ProgrammingError, code='42P13', name='INVALID_FUNCTION_DEFINITION'):
    pass

class InvalidPreparedStatementDefinition(ProgrammingError, code='42P14', name='INVALID_PREPARED_STATEMENT_DEFINITION'):
    pass

class InvalidSchemaDefinition(ProgrammingError, code='42P15', name='INVALID_SCHEMA_DEFINITION'):
    pass

class InvalidTableDefinition(ProgrammingError, code='42P16', name='INVALID_TABLE_DEFINITION'):
    pass

class InvalidObjectDefinition(ProgrammingError, code='42P17', name='INVALID_OBJECT_DEFINITION'):
    pass


# Class 44

class WithCheckOptionViolation(ProgrammingError, code='44000', name='WITH_CHECK_OPTION_VIOLATION'):
    pass


# Class 53

class InsufficientResources(OperationalError, code='53000', name='INSUFFICIENT_RESOURCES'):
    pass

class DiskFull(OperationalError, code='53100', name='DISK_FULL'):
    pass

class OutOfMemory(OperationalError, code='53200', name='OUT_OF_MEMORY'):
    pass

class TooManyConnections(OperationalError, code='53300', name='TOO_MANY_CONNECTIONS'):
    pass

class ConfigurationLimitExceeded(OperationalError, code='53400', name='CONFIGURATION_LIMIT_EXCEEDED'):
    pass


# Class 54

class ProgramLimitExceeded(OperationalError, code='54000', name='PROGRAM_LIMIT_EXCEEDED'):
    pass

class StatementTooComplex(OperationalError, code='54001', name='STATEMENT_TOO_COMPLEX'):
    pass

class TooManyColumns(OperationalError, code='54011', name='TOO_MANY_COLUMNS'):
    pass

class TooManyArguments(OperationalError, code='54023', name='TOO_MANY_ARGUMENTS'):
    pass


# Class 55

class ObjectNotInPrerequisiteState(OperationalError, code='55000', name='OBJECT_NOT_IN_PREREQUISITE_STATE'):
    pass

class ObjectInUse(OperationalError, code='55006', name='OBJECT_IN_USE'):
    pass

class CantChangeRuntimeParam(OperationalError, code='55P02', name='CANT_CHANGE_RUNTIME_PARAM'):
    pass

class LockNotAvailable(OperationalError, code='55P03', name='LOCK_NOT_AVAILABLE'):
    pass

class UnsafeNewEnumValueUsage(OperationalError, code='55P04', name='UNSAFE_NEW_ENUM_VALUE_USAGE'):
    pass


# Class 57

class OperatorIntervention(OperationalError, code='57000', name='OPERATOR_INTERVENTION'):
    pass

class QueryCanceled(OperationalError, code='57014', name='QUERY_CANCELED'):
    pass

class AdminShutdown(OperationalError, code='57P01', name='ADMIN_SHUTDOWN'):
    pass

class CrashShutdown(OperationalError, code='57P02', name='CRASH_SHUTDOWN'):
    pass

class CannotConnectNow(OperationalError, code='57P03', name='CANNOT_CONNECT_NOW'):
    pass

class DatabaseDropped(OperationalError, code='57P04', name='DATABASE_DROPPED'):
    pass

class IdleSessionTimeout(OperationalError, code='57P05', name='IDLE_SESSION_TIMEOUT'):
    pass


# Class 58

class SystemError(OperationalError, code='58000', name='SYSTEM_ERROR'):
    pass

class IoError(OperationalError, code='58030', name='IO_ERROR'):
    pass

class UndefinedFile(OperationalError, code='58P01', name='UNDEFINED_FILE'):
    pass

class DuplicateFile(OperationalError, code='58P02', name='DUPLICATE_FILE'):
    pass


# Class 72

class SnapshotTooOld(DatabaseError, code='72000', name='SNAPSHOT_TOO_OLD'):
    pass


# Class F0

class ConfigFileError(OperationalError, code='F0000', name='CONFIG_FILE_ERROR'):
    pass

class LockFileExists(OperationalError, code='F0001', name='LOCK_FILE_EXISTS'):
    pass


# Class HV

class FdwError(OperationalError, code='HV000', name='FDW_ERROR'):
    pass

class FdwColumnNameNotFound(OperationalError, code='HV005', name='FDW_COLUMN_NAME_NOT_FOUND'):
    pass

class FdwDynamicParameterValueNeeded(OperationalError, code='HV002', name='FDW_DYNAMIC_PARAMETER_VALUE_NEEDED'):
    pass

class FdwFunctionSequenceError(OperationalError, code='HV010', name='FDW_FUNCTION_SEQUENCE_ERROR'):
    pass

class FdwInconsistentDescriptorInformation(OperationalError, code='HV021', name='FDW_INCONSISTENT_DESCRIPTOR_INFORMATION'):
    pass

class FdwInvalidAttributeValue(OperationalError, code='HV024', name='FDW_INVALID_ATTRIBUTE_VALUE'):
    pass

class FdwInvalidColumnName(OperationalError, code='HV007', name='FDW_INVALID_COLUMN_NAME'):
    pass

class FdwInvalidColumnNumber(OperationalError, code='HV008', name='FDW_INVALID_COLUMN_NUMBER'):
    pass

class FdwInvalidDataType(OperationalError, code='HV004', name='FDW_INVALID_DATA_TYPE'):
    pass

class FdwInvalidDataTypeDescriptors(OperationalError, code='HV006', name='FDW_INVALID_DATA_TYPE_DESCRIPTORS'):
    pass

class FdwInvalidDescriptorFieldIdentifier(OperationalError, code='HV091', name='FDW_INVALID_DESCRIPTOR_FIELD_IDENTIFIER'):
    pass

class FdwInvalidHandle(OperationalError, code='HV00B', name='FDW_INVALID_HANDLE'):
    pass

class FdwInvalidOptionIndex(OperationalError, code='HV00C', name='FDW_INVALID_OPTION_INDEX'):
    pass

class FdwInvalidOptionName(OperationalError, code='HV00D', name='FDW_INVALID_OPTION_NAME'):
    pass

class FdwInvalidStringLengthOrBufferLength(OperationalError, code='HV090', name='FDW_INVALID_STRING_LENGTH_OR_BUFFER_LENGTH'):
    pass

class FdwInvalidStringFormat(OperationalError, code='HV00A', name='FDW_INVALID_STRING_FORMAT'):
    pass

class FdwInvalidUseOfNullPointer(OperationalError, code='HV009', name='FDW_INVALID_USE_OF_NULL_POINTER'):
    pass

class FdwTooManyHandles(OperationalError, code='HV014', name='FDW_TOO_MANY_HANDLES'):
    pass

class FdwOutOfMemory(OperationalError, code='HV001', name='FDW_OUT_OF_MEMORY'):
    pass

class FdwNoSchemas(OperationalError, code='HV00P', name='FDW_NO_SCHEMAS'):
    pass

class FdwOptionNameNotFound(OperationalError, code='HV00J', name='FDW_OPTION_NAME_NOT_FOUND'):
    pass

class FdwReplyHandle(OperationalError, code='HV00K', name='FDW_REPLY_HANDLE'):
    pass

class FdwSchemaNotFound(OperationalError, code='HV00Q', name='FDW_SCHEMA_NOT_FOUND'):
    pass

class FdwTableNotFound(OperationalError, code='HV00R', name='FDW_TABLE_NOT_FOUND'):
    pass

class FdwUnableToCreateExecution(OperationalError, code='HV00L', name='FDW_UNABLE_TO_CREATE_EXECUTION'):
    pass

class FdwUnableToCreateReply(OperationalError, code='HV00M', name='FDW_UNABLE_TO_CREATE_REPLY'):
    pass

class FdwUnableToEstablishConnection(OperationalError, code='HV00N', name='FDW_UNABLE_TO_ESTABLISH_CONNECTION'):
    pass


# Class P0

class PlpgsqlError(ProgrammingError, code='P0000', name='PLPGSQL_ERROR'):
    pass

class RaiseException(ProgrammingError, code='P0001', name='RAISE_EXCEPTION'):
    pass

class NoDataFound(ProgrammingError, code='P0002', name='NO_DATA_FOUND'):
    pass

class TooManyRows(ProgrammingError, code='P0003', name='TOO_MANY_ROWS'):
    pass

class AssertFailure(ProgrammingError, code='P0004', name='ASSERT_FAILURE'):
    pass


# Class XX

class InternalError_(InternalError, code='XX000', name='INTERNAL_ERROR'):
    pass

class DataCorrupted(InternalError, code='XX001', name='DATA_CORRUPTED'):
    pass

class IndexCorrupted(InternalError, code='XX002', name='INDEX_CORRUPTED'):
    pass


# generated: end
# fmt: on


# A code without a class of its own: the class of its first two characters, else of its
# first one (the library's own 07 and HY included), else DatabaseError.
_BY_PREFIX: Dict[str, Type[Error]] = {
    "07": ProgrammingError,     # wrong number of parameters (the library's own code)
    "08": OperationalError, "0A": NotSupportedError, "20": ProgrammingError,
    "21": ProgrammingError, "22": DataError, "23": IntegrityError, "24": InternalError,
    "25": InternalError, "26": ProgrammingError, "27": OperationalError,
    "28": OperationalError, "2B": InternalError, "2D": InternalError, "2F": OperationalError,
    "34": ProgrammingError, "38": OperationalError, "39": OperationalError,
    "3B": OperationalError, "3D": ProgrammingError, "3F": ProgrammingError,
    "40": OperationalError, "42": ProgrammingError, "44": ProgrammingError,
    "53": OperationalError, "54": OperationalError, "55": OperationalError,
    "57": OperationalError, "58": OperationalError,
    "HY": OperationalError,     # the library's own failures (no session, ...)
    "F": OperationalError, "H": OperationalError, "P": ProgrammingError, "X": InternalError,
}

# The extension's error table for ztcondb's connections: SQLSTATE, prefix or "" (any
# other code) -> class, and each of the module's own classes (errors of the driver's
# checks, without a code) -> ours.
error_table: Dict[Any, Type[Exception]] = {
    **{code: cls for code, cls in _sqlcodes.items() if len(code) == 5},
    **_BY_PREFIX,
    "": DatabaseError,
    _pyztdb.Error: Error, _pyztdb.Warning: Warning,
    _pyztdb.InterfaceError: InterfaceError, _pyztdb.DatabaseError: DatabaseError,
    _pyztdb.DataError: DataError, _pyztdb.OperationalError: OperationalError,
    _pyztdb.IntegrityError: IntegrityError, _pyztdb.InternalError: InternalError,
    _pyztdb.ProgrammingError: ProgrammingError,
    _pyztdb.NotSupportedError: NotSupportedError,
}


def from_module_function(exc: BaseException) -> BaseException:
    """ztcondb's exception for one a function of the extension module raised. Methods of
    a ztcondb connection and its cursors raise ztcondb's classes themselves; the few
    module functions that take no connection (placeholder conversion, COPY text rows)
    cannot know its table, so their callers here hand their errors over with it."""
    cls = error_table.get(type(exc))
    if cls is None:
        return exc
    made = cls(*exc.args)
    made.__dict__.update(exc.__dict__)
    return made


def class_for_sqlstate(sqlstate: Optional[str]) -> Optional[Type[Error]]:
    """The class a server error of this SQLSTATE is raised as (DatabaseError for an
    unknown code); None without a code."""
    if not sqlstate:
        return None
    code = sqlstate.upper()
    for key in (code, code[:2], code[:1]):
        if key in error_table:
            return error_table[key]  # type: ignore[return-value]
    return DatabaseError
