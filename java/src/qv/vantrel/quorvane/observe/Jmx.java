package qv.vantrel.quorvane.observe;

import java.lang.management.ManagementFactory;
import java.util.ArrayList;
import java.util.List;
import javax.management.InstanceAlreadyExistsException;
import javax.management.JMException;
import javax.management.MBeanServer;
import javax.management.MBeanServerFactory;
import javax.management.ObjectName;
import qv.vantrel.quorvane.management.TransformerInfo;
import qv.vantrel.quorvane.management.TransformersMXBean;

/**
 * Everything of this copy that touches java.management: the Transformers MXBean in the
 * platform MBean server. Reached only when that module is there.
 */
final class Jmx {
    private Jmx() {
    }

    /** The MXBean: each call lists the transformers registered at that moment. */
    private static final class Bean implements TransformersMXBean {
        @Override
        public List<TransformerInfo> getTransformers() {
            TransformerCounts[] live = Transformers.live();
            List<TransformerInfo> totals = new ArrayList<>(live.length);
            for (TransformerCounts counts : live) {
                totals.add(new TransformerInfo(counts.transformer(), counts.route(), counts.classesSeen(),
                        counts.classesChanged(), counts.failures(), counts.totalNanos()));
            }
            return totals;
        }
    }

    /**
     * Whether the platform MBean server has been made, asked without making it: it is the
     * server, among those made by the factory, that holds the runtime's MXBean.
     */
    static boolean platformServerExists() throws JMException {
        ObjectName runtime = new ObjectName(ManagementFactory.RUNTIME_MXBEAN_NAME);
        for (MBeanServer server : MBeanServerFactory.findMBeanServer(null)) {
            if (server.isRegistered(runtime)) {
                return true;
            }
        }
        return false;
    }

    /**
     * Registers the MXBean under the first free name: {@link TransformersMXBean#OBJECT_NAME}, then with
     * {@code ,copy=2}, {@code ,copy=3} and so on for further copies of the library.
     *
     * @return the name it got, as an Object (the caller may not see javax.management)
     */
    static Object register() throws JMException {
        MBeanServer server = ManagementFactory.getPlatformMBeanServer();
        Bean bean = new Bean();
        for (int copy = 1;; copy++) {
            String first = TransformersMXBean.OBJECT_NAME;
            ObjectName name = new ObjectName(copy == 1 ? first : first + ",copy=" + copy);
            try {
                return server.registerMBean(bean, name).getObjectName();
            } catch (InstanceAlreadyExistsException taken) {
                // Another copy has it; try the next.
            }
        }
    }

    static void unregister(Object name) throws JMException {
        ManagementFactory.getPlatformMBeanServer().unregisterMBean((ObjectName) name);
    }
}
