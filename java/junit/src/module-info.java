/**
 * quorvane-junit: the agents of a JUnit Platform test run, declared once in
 * {@code junit-platform.properties} (or as system properties) and started by Quorvane when the
 * launcher session opens, with no {@code -javaagent} and no attach. It exports nothing: the
 * JUnit Platform finds its {@link org.junit.platform.launcher.LauncherSessionListener} as a
 * service.
 */
module qv.vantrel.quorvane.junit {
    requires qv.vantrel.quorvane;
    requires org.junit.platform.launcher;

    provides org.junit.platform.launcher.LauncherSessionListener
            with qv.vantrel.quorvane.junit.AgentLauncherSessionListener;
}
